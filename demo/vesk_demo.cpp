// vesk-demo: loads the module the way a page server does and reports what it exports.
#include <dlfcn.h>

#include <cstdio>

int main() {
    void* module = dlopen(VESK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", VESK_MODULE_PATH, dlerror());
        return 1;
    }
    std::printf("loaded %s\n", VESK_MODULE_PATH);
    dlclose(module);
    return 0;
}
