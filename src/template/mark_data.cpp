#include "template/mark_data.h"

#include <memory>

CMarkData::~CMarkData() {
    for (std::wstringstream* param : m_vParams) delete param;
}

std::wstringstream* CMarkData::AddParam() {
    auto param = std::make_unique<std::wstringstream>();
    m_vParams.push_back(param.get());
    return param.release();
}
