// The configuration manager as the component meets it: registered in a
// private runtime folder, created through CoCreateInstance, filling XML
// documents that are COM objects.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Utf.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/configmgr/IConfigMgr.h"
#include "server/configmgr/SystemConfigFile.h"
#include "tests/support/TestBstr.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

using Bstr = tmstest::TestBstr;

std::string Text(BSTR b) {
    return Utf16ToUtf8(std::u16string_view(b, SysStringLen(b)));
}

std::string LastErrorText() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info)
        return "";
    BSTR d = nullptr;
    info->GetDescription(&d);
    std::string s = Text(d);
    SysFreeString(d);
    return s;
}

class ConfigMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_CONFIGMGR_LIB), S_OK);
        ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
        m_mgr = NewManager();
        ASSERT_TRUE(m_mgr);
    }

    static CComPtr<IConfigMgr> NewManager() {
        CComPtr<IConfigMgr> mgr;
        EXPECT_EQ(CoCreateInstance(CLSID_ConfigMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IConfigMgr,
                                   reinterpret_cast<void**>(&mgr)),
                  S_OK);
        return mgr;
    }

    // A fresh document in a VT_DISPATCH VARIANT, as the component makes it.
    static CComPtr<IXMLDOMDocument2> NewDocument(VARIANT* v) {
        CComPtr<IXMLDOMDocument2> doc;
        EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument2, reinterpret_cast<void**>(&doc)),
                  S_OK);
        VariantInit(v);
        v->vt = VT_DISPATCH;
        v->pdispVal = doc.operator->();  // the test's CComPtr keeps the reference
        return doc;
    }

    static std::string Select(IXMLDOMDocument2* doc, const std::string& xpath) {
        CComPtr<IXMLDOMNode> node;
        Bstr q(xpath);
        if (doc->selectSingleNode(q.b, &node) != S_OK)
            return "<none>";
        BSTR t = nullptr;
        node->get_text(&t);
        std::string s = Text(t);
        SysFreeString(t);
        return s;
    }

    static LONG Count(IXMLDOMDocument2* doc, const std::string& xpath) {
        CComPtr<IXMLDOMNodeList> list;
        Bstr q(xpath);
        if (FAILED(doc->selectNodes(q.b, &list)))
            return -1;
        LONG n = -1;
        list->get_length(&n);
        return n;
    }

    HRESULT Set(const std::string& xpath, const char* attr, VARIANT value, LONG persist = -1) {
        Bstr q(xpath);
        return m_mgr->SetConfigAttribute(q.b, attr, value, persist);
    }

    static VARIANT Long(LONG v) {
        VARIANT x;
        VariantInit(&x);
        x.vt = VT_I4;
        x.lVal = v;
        return x;
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IConfigMgr> m_mgr;
};

TEST_F(ConfigMgrTest, ChannelDocumentsHoldExactlyTheirChannel) {
    Bstr app("playout"), uuid("{0}"), name("Chan3");
    VARIANT v;
    CComPtr<IXMLDOMDocument2> byIndex = NewDocument(&v);
    ASSERT_EQ(m_mgr->LoadChannelConfigByIndex(1, app.b, uuid.b, &v), S_OK) << LastErrorText();
    EXPECT_EQ(Count(byIndex, "/Config/Channel"), 1);
    EXPECT_EQ(Select(byIndex, "/Config/Channel/@id"), "Chan2");
    // Components the channel names by id are still there.
    EXPECT_EQ(Select(byIndex, "/Config/VideoInput[@id='VideoInput2']/@selectedInput"), "VideoSdi");

    CComPtr<IXMLDOMDocument2> byName = NewDocument(&v);
    ASSERT_EQ(m_mgr->LoadChannelConfigByName(name.b, app.b, uuid.b, &v), S_OK);
    EXPECT_EQ(Select(byName, "/Config/Channel/@channelIndex"), "2");

    CComPtr<IXMLDOMDocument2> system = NewDocument(&v);
    ASSERT_EQ(m_mgr->LoadSystemConfig(&v), S_OK);
    EXPECT_EQ(Count(system, "/Config/Channel"), 4);

    EXPECT_EQ(m_mgr->ReleaseChannelConfig(1), S_OK);
    EXPECT_EQ(m_mgr->ReleaseChannelConfig(1), S_FALSE);
    EXPECT_EQ(m_mgr->ReleaseChannelConfig(0), S_FALSE);
}

TEST_F(ConfigMgrTest, FailuresNameWhatWasWrong) {
    Bstr app("a"), uuid("u");
    VARIANT v;
    CComPtr<IXMLDOMDocument2> doc = NewDocument(&v);
    struct Case {
        const char* name;
        std::function<HRESULT()> call;
        const char* mentions;
    } cases[] = {
        {"unknown index", [&] { return m_mgr->LoadChannelConfigByIndex(9, app.b, uuid.b, &v); },
         "channel 9 is not in"},
        {"unknown name",
         [&] {
             Bstr n("Chan9");
             return m_mgr->LoadChannelConfigByName(n.b, app.b, uuid.b, &v);
         },
         "channel 'Chan9' is not in"},
        {"quote in name",
         [&] {
             Bstr n("x' or '1'='1");
             return m_mgr->LoadChannelConfigByName(n.b, app.b, uuid.b, &v);
         },
         "has quotes"},
        {"not a document",
         [&] {
             VARIANT i = Long(3);
             return m_mgr->LoadSystemConfig(&i);
         },
         "VT_DISPATCH"},
        {"bad XPath", [&] { return Set("//Channel[", "loop", Long(1)); }, "bad XPath '//Channel['"},
        {"no element", [&] { return Set("//Nothing", "loop", Long(1)); }, "selects 0 nodes"},
        {"ambiguous", [&] { return Set("//Channel", "loop", Long(1)); }, "selects 4 nodes"},
        {"bad attribute name", [&] { return Set("//Channel[@id='Chan1']", "", Long(1)); },
         "no attribute name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(FAILED(c.call()));
        EXPECT_NE(LastErrorText().find(c.mentions), std::string::npos) << LastErrorText();
    }

    // A malformed file: the error names the file and the line.
    std::ofstream(SystemConfigPath()) << "<Config>\n  <Channel id='x'>\n</Config>\n";
    EXPECT_TRUE(FAILED(m_mgr->LoadSystemConfig(&v)));
    const std::string text = LastErrorText();
    EXPECT_NE(text.find(SystemConfigPath() + ":3:"), std::string::npos) << text;
    EXPECT_TRUE(FAILED(Set("//Channel", "loop", Long(1))));
    EXPECT_EQ(tmstest::ReadFileText(SystemConfigPath()),
              "<Config>\n  <Channel id='x'>\n</Config>\n");  // never rewritten
}

TEST_F(ConfigMgrTest, ADoctypeInTheSystemFileIsRefusedNamingFileAndLine) {
    VARIANT first;
    CComPtr<IXMLDOMDocument2> sample = NewDocument(&first);
    ASSERT_EQ(m_mgr->LoadSystemConfig(&first), S_OK);  // puts the sample file in place
    const std::string original = tmstest::ReadFileText(SystemConfigPath());
    const std::string declarations[] = {
        "<!DOCTYPE Config [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>",
        "<!DOCTYPE Config [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;&a;\">]>",
    };
    for (const std::string& declaration : declarations) {
        SCOPED_TRACE(declaration);
        std::string text = original;
        const std::size_t top = text.find("<Config");
        ASSERT_NE(top, std::string::npos);
        const int line =
            1 + static_cast<int>(std::count(text.begin(),
                                            text.begin() + static_cast<std::ptrdiff_t>(top), '\n'));
        text.insert(top, declaration + "\n");
        std::ofstream(SystemConfigPath(), std::ios::trunc) << text;
        VARIANT v;
        CComPtr<IXMLDOMDocument2> doc = NewDocument(&v);
        EXPECT_TRUE(FAILED(m_mgr->LoadSystemConfig(&v)));
        const std::string error = LastErrorText();
        EXPECT_NE(error.find(SystemConfigPath() + ":" + std::to_string(line) + ":"),
                  std::string::npos)
            << error;
        EXPECT_NE(error.find("DOCTYPE"), std::string::npos) << error;
        Bstr app("a"), uuid("u");
        EXPECT_TRUE(FAILED(m_mgr->LoadChannelConfigByIndex(0, app.b, uuid.b, &v)));
        // A file nobody can read is never written over.
        EXPECT_TRUE(FAILED(Set("//Channel[@id='Chan1']", "loop", Long(1))));
        EXPECT_EQ(tmstest::ReadFileText(SystemConfigPath()), text);
    }
}

TEST_F(ConfigMgrTest, ValuesAreWrittenAsTextAndSurviveAReload) {
    struct Case {
        VARIANT value;
        const char* text;
    };
    VARIANT t, f, r, s;
    VariantInit(&t);
    t.vt = VT_BOOL;
    t.boolVal = VARIANT_TRUE;
    VariantInit(&f);
    f.vt = VT_BOOL;
    f.boolVal = VARIANT_FALSE;
    VariantInit(&r);
    r.vt = VT_R8;
    r.dblVal = 2.5;
    Bstr str("Serial 9-pin");
    VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = str.b;
    const Case cases[] = {
        {t, "true"}, {f, "false"}, {Long(-12), "-12"}, {r, "2.5"}, {s, "Serial 9-pin"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(Set("//Channel[@channelIndex='0']/Remote", "protocol", c.value), S_OK)
            << LastErrorText();
        // A new manager reads the file again.
        CComPtr<IConfigMgr> other = NewManager();
        VARIANT v;
        CComPtr<IXMLDOMDocument2> doc = NewDocument(&v);
        ASSERT_EQ(other->LoadSystemConfig(&v), S_OK);
        EXPECT_EQ(Select(doc, "//Channel[@channelIndex='0']/Remote/@protocol"), c.text);
    }
    // Not persisted: this manager's documents have it, the file does not.
    ASSERT_EQ(Set("//Channel[@channelIndex='1']/Monitor", "ee", t, 0), S_OK);
    VARIANT v;
    CComPtr<IXMLDOMDocument2> mine = NewDocument(&v);
    ASSERT_EQ(m_mgr->LoadSystemConfig(&v), S_OK);
    EXPECT_EQ(Select(mine, "//Channel[@channelIndex='1']/Monitor/@ee"), "true");
    CComPtr<IXMLDOMDocument2> theirs = NewDocument(&v);
    ASSERT_EQ(NewManager()->LoadSystemConfig(&v), S_OK);
    EXPECT_EQ(Select(theirs, "//Channel[@channelIndex='1']/Monitor/@ee"), "false");
}

TEST_F(ConfigMgrTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kWrites = 50;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const char* attribute = child == 0 ? "childCount" : "parentCount";
    {
        CComPtr<IConfigMgr> mgr = child == 0 ? NewManager() : m_mgr;
        for (int i = 1; i <= kWrites; ++i) {
            // Each write also adds an attribute of its own, so a lost update shows.
            const std::string own = std::string(attribute) + std::to_string(i);
            Bstr q("//Channel[@channelIndex='3']/Remote");
            if (FAILED(mgr->SetConfigAttribute(q.b, attribute, Long(i), -1)) ||
                FAILED(mgr->SetConfigAttribute(q.b, own.c_str(), Long(i), -1))) {
                if (child == 0)
                    _exit(1);
                ADD_FAILURE() << LastErrorText();
            }
        }
    }
    if (child == 0)
        _exit(0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    VARIANT v;
    CComPtr<IXMLDOMDocument2> doc = NewDocument(&v);
    ASSERT_EQ(m_mgr->LoadSystemConfig(&v), S_OK);
    for (const char* who : {"childCount", "parentCount"}) {
        SCOPED_TRACE(who);
        EXPECT_EQ(Select(doc, std::string("//Channel[@channelIndex='3']/Remote/@") + who), "50");
        for (int i = 1; i <= kWrites; ++i) {
            EXPECT_EQ(Select(doc, "//Channel[@channelIndex='3']/Remote/@" + std::string(who) +
                                      std::to_string(i)),
                      std::to_string(i));
        }
    }
    // No temporary file is left beside the configuration.
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "system.xml" || name == "system.xml.lock" || e.is_directory()) << name;
    }
}

TEST_F(ConfigMgrTest, AWriterKilledMidWayNeverLeavesAPartialFile) {
    // A leftover temporary file from an earlier crash is ignored.
    const std::string stale = SystemConfigPath() + ".tmp-Ab12Cd";
    std::ofstream(stale) << "<Config><Channel id='Chan1'";

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        CComPtr<IConfigMgr> mgr = NewManager();
        Bstr q("//Channel[@channelIndex='2']/Remote");
        for (LONG i = 0;; ++i) {
            if (FAILED(mgr->SetConfigAttribute(q.b, "spin", Long(i), -1)))
                _exit(1);
            if (i == 5 && ::write(ready[1], "x", 1) != 1)
                _exit(1);
        }
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    // Whatever the moment of the kill, the file is whole and the lock free.
    ASSERT_EQ(Set("//Channel[@channelIndex='2']/Remote", "after", Long(1)), S_OK)
        << LastErrorText();
    VARIANT v;
    CComPtr<IXMLDOMDocument2> doc = NewDocument(&v);
    ASSERT_EQ(NewManager()->LoadSystemConfig(&v), S_OK) << LastErrorText();
    EXPECT_EQ(Count(doc, "/Config/Channel"), 4);
    EXPECT_NE(Select(doc, "//Channel[@channelIndex='2']/Remote/@spin"), "<none>");
    EXPECT_EQ(Select(doc, "//Channel[@channelIndex='2']/Remote/@after"), "1");
    // Temporary files of the killed writer are the only strays; clear them.
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("system.xml.tmp-", 0) == 0)
            std::filesystem::remove(e.path());
    }
}

}  // namespace
