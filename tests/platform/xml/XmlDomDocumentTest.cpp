// The XML document as a COM object: queries, node lifetime, failed loads
// and external references that must never be followed.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Utf.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "tests/support/TestBstr.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

using Bstr = tmstest::TestBstr;

using tmstest::TakeBstr;

CComPtr<IXMLDOMDocument2> NewDocument() {
    CComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(CreateXmlDomDocument(IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc)), S_OK);
    return doc;
}

TEST(XmlDomDocumentTest, ExternalReferencesAreNeverRead) {
    tmstest::TestRuntimeDir dir;
    const std::string secret = dir.Path() + "/secret.txt";
    std::ofstream(secret) << "SECRET";
    const std::string cases[] = {
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + secret + "\">]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"" + secret + "\">]><r a='&e;'>&e;</r>",
        "<!DOCTYPE r SYSTEM \"" + secret + "\"><r/>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + secret + "\"> %p;]><r/>",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        Bstr xml(text);
        VARIANT_BOOL ok = VARIANT_FALSE;
        doc->loadXML(xml.b, &ok);
        BSTR out = nullptr;
        ASSERT_EQ(doc->get_xml(&out), S_OK);
        EXPECT_EQ(TakeBstr(out).find("SECRET"), std::string::npos);
    }
}

TEST(XmlDomDocumentTest, FailedLoadsNameTheFileAndLineAndKeepTheOldContent) {
    tmstest::TestRuntimeDir dir;
    const std::string bad = dir.Path() + "/bad.xml";
    std::ofstream(bad) << "<Config>\n  <Board>\n</Config>\n";
    const std::string good = dir.Path() + "/good.xml";
    std::ofstream(good) << "<Config><Board id='b1'/></Config>";

    CComPtr<IXMLDOMDocument2> doc = NewDocument();
    VARIANT path;
    VariantInit(&path);
    path.vt = VT_BSTR;
    Bstr goodPath(good);
    path.bstrVal = goodPath.b;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(doc->load(path, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);

    Bstr badPath(bad), missingPath(dir.Path() + "/missing.xml");
    struct Case {
        BSTR path;
        std::string mentions;
    } cases[] = {{badPath.b, bad + "': Start-end tags mismatch at line 3"},
                 {missingPath.b, dir.Path() + "/missing.xml"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mentions);
        path.bstrVal = c.path;
        ok = VARIANT_TRUE;
        EXPECT_EQ(doc->load(path, &ok), S_FALSE);
        EXPECT_EQ(ok, VARIANT_FALSE);
        BSTR reason = nullptr;
        ASSERT_EQ(doc->get_parseError(&reason), S_OK);
        const std::string text = TakeBstr(reason);
        EXPECT_NE(text.find(c.mentions), std::string::npos) << text;
        // The document still holds what it had.
        CComPtr<IXMLDOMNode> board;
        Bstr q("./Config/Board/@id");
        ASSERT_EQ(doc->selectSingleNode(q.b, &board), S_OK);
        BSTR id = nullptr;
        board->get_text(&id);
        EXPECT_EQ(TakeBstr(id), "b1");
    }

    VARIANT notPath;
    VariantInit(&notPath);
    notPath.vt = VT_I4;
    EXPECT_EQ(doc->load(notPath, &ok), E_INVALIDARG);
}

TEST(XmlDomDocumentTest, NodesKeepTheirDocumentAndRemoveChildGivesACopy) {
    CComPtr<IXMLDOMNode> keep;
    {
        CComPtr<IXMLDOMDocument2> doc = NewDocument();
        Bstr xml("<Config><Board id='b'/><Channel id='c'/><Channel id='d'/></Config>");
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(doc->loadXML(xml.b, &ok), S_OK);
        EXPECT_EQ(ok, VARIANT_TRUE);
        CComPtr<IXMLDOMNode> config, board, removed;
        Bstr q1("./Config"), q2("./Config/Board"), q3("./Nothing"), bad("./Config[");
        ASSERT_EQ(doc->selectSingleNode(q1.b, &config), S_OK);
        ASSERT_EQ(doc->selectSingleNode(q2.b, &board), S_OK);
        CComPtr<IXMLDOMNode> none;
        EXPECT_EQ(doc->selectSingleNode(q3.b, &none), S_FALSE);
        EXPECT_FALSE(none);
        EXPECT_EQ(doc->selectSingleNode(bad.b, &none), E_INVALIDARG);

        // Node lists: length, items, the end.
        CComPtr<IXMLDOMNodeList> channels;
        Bstr q4("./Config/Channel");
        ASSERT_EQ(doc->selectNodes(q4.b, &channels), S_OK);
        LONG n = 0;
        ASSERT_EQ(channels->get_length(&n), S_OK);
        EXPECT_EQ(n, 2);
        CComPtr<IXMLDOMNode> second, past;
        ASSERT_EQ(channels->get_item(1, &second), S_OK);
        EXPECT_EQ(channels->get_item(2, &past), S_FALSE);
        EXPECT_EQ(channels->get_item(-1, &past), S_FALSE);
        VARIANT id;
        Bstr idName("id");
        ASSERT_EQ(second->getAttribute(idName.b, &id), S_OK);
        ASSERT_EQ(id.vt, VT_BSTR);
        EXPECT_EQ(TakeBstr(id.bstrVal), "d");

        EXPECT_EQ(board->removeChild(config, &removed), E_INVALIDARG);  // not its child
        ASSERT_EQ(config->removeChild(board, &removed), S_OK);
        BSTR x = nullptr;
        removed->get_xml(&x);
        EXPECT_EQ(TakeBstr(x), "<Board id=\"b\"/>");
        CComPtr<IXMLDOMNode> gone;
        EXPECT_EQ(doc->selectSingleNode(q2.b, &gone), S_FALSE);
        keep = config;
    }
    // The document lives on in its node.
    BSTR name = nullptr;
    ASSERT_EQ(keep->get_nodeName(&name), S_OK);
    EXPECT_EQ(TakeBstr(name), "Config");
}

}  // namespace
