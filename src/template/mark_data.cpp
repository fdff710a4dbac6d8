#include "template/mark_data.h"

#include <memory>

CMarkData::~CMarkData() {
    for (CMarkText* param : m_vParams) delete param;
}

CMarkText* CMarkData::AddParam() {
    auto param = std::make_unique<CMarkText>();
    m_vParams.push_back(param.get());
    return param.release();
}
