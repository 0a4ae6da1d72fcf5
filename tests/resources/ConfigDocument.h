// A configuration document made from XML text, for the resource tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/xml/IXMLDOMDocument2.h"

namespace tmstest {

inline CComPtr<IXMLDOMDocument2> LoadConfig(const std::string& xml) {
    CComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc)),
              S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(CBstr(xml), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE) << xml;
    return doc;
}

inline CComPtr<IXMLDOMNode> SelectNode(IXMLDOMDocument2* doc, const char* xpath) {
    CComPtr<IXMLDOMNode> node;
    EXPECT_EQ(doc->selectSingleNode(CBstr(xpath), &node), S_OK) << xpath;
    return node;
}

}  // namespace tmstest
