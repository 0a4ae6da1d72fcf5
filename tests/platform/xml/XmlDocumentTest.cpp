#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/xml/XmlDocument.h"
#include "platform/xml/XmlError.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

const char* const kConfig =
    "<Config xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">"
    "<System model=\"M1\"><SystemVideoReference "
    "referenceStandard=\"Format625_50Hz_2To1\"/></System>"
    "<Channel id=\"Chan A\" channelIndex=\"0\" loop=\"TRUE\"><Remote stopMode=\" 0x2 \"/>"
    "<Name>  first <b>part</b> second  </Name></Channel>"
    "<Channel id=\"Chan B\" channelIndex=\"1\"/>"
    "<Panel shuttleSpeedMin=\"-16.5\"/><Rate dt:dt=\"float\">25.0</Rate></Config>";

CXmlDocument Loaded(const char* text = kConfig) {
    CXmlDocument doc;
    doc.LoadXml(text);
    return doc;
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CXmlError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(XmlDocumentTest, SelectsThatSelectNothingKeepDefaults) {
    const CXmlDocument doc = Loaded();
    std::string text = "default";
    std::int32_t l = -1;
    bool b = true;
    double f = 32.0;
    EXPECT_FALSE(doc.ReadText("./Config/Channel/@missing", &text));
    EXPECT_FALSE(doc.ReadLong("//Channel[@channelIndex=\"7\"]/@channelIndex", &l));
    EXPECT_FALSE(doc.ReadBool("./Config/Board/NoEe", &b));
    const CXmlNode panel = doc.SelectSingleNode("./Config/Nothing");
    EXPECT_TRUE(panel.IsNull());
    EXPECT_FALSE(panel.ReadFloat("@shuttleSpeedMax", &f));  // rows on a missing node keep defaults
    EXPECT_TRUE(doc.SelectNodes("//Gang").empty());
    EXPECT_EQ(text, "default");
    EXPECT_EQ(l, -1);
    EXPECT_TRUE(b);
    EXPECT_EQ(f, 32.0);

    const CXmlNode channel = doc.SelectSingleNode("./Config/Channel");
    ASSERT_TRUE(channel.ReadText("@id", &text));
    EXPECT_EQ(text, "Chan A");
    ASSERT_TRUE(channel.ReadLong("Remote/@stopMode", &l));
    EXPECT_EQ(l, 2);
    ASSERT_TRUE(doc.ReadBool("//Channel[@channelIndex=\"0\"]/@loop", &b));
    EXPECT_TRUE(b);
    ASSERT_TRUE(channel.ReadText("Name", &text));
    EXPECT_EQ(text, "first part second");  // all descendant text, outer blanks dropped
}

TEST(XmlDocumentTest, TypedReadersConvertOrNameTheXPathAndText) {
    enum Reader { Long, Bool, Float };
    struct Row {
        Reader reader;
        const char* text;
        bool ok;
        double expected;
    };
    const std::vector<Row> rows = {
        {Long, "42", true, 42},
        {Long, " -2147483648\t", true, INT32_MIN},
        {Long, "0x80000000", true, INT32_MIN},
        {Long, "0XfF", true, 255},
        {Long, "2147483648", false, 0},
        {Long, "12abc", false, 0},
        {Long, "", false, 0},
        {Long, "1.5", false, 0},
        {Long, "0x", false, 0},
        {Bool, "TRUE", true, 1},
        {Bool, "no", true, 0},
        {Bool, "Yes", true, 1},
        {Bool, "0", true, 0},
        {Bool, "2", true, 1},
        {Bool, "maybe", false, 0},
        {Float, "-32.0", true, -32},
        {Float, " 1e3 ", true, 1000},
        {Float, "+.5", true, 0.5},
        {Float, "3,5", false, 0},
        {Float, "nan", false, 0},
        {Float, "1e999", false, 0},
        {Float, "0x10", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("text '") + row.text + "' reader " + std::to_string(row.reader));
        CXmlDocument doc;
        doc.LoadXml("<a/>");
        doc.DocumentElement().SetAttribute("v", row.text);
        std::int32_t l = 7;
        bool b = false;
        double f = 7;
        auto read = [&]() {
            if (row.reader == Long) {
                doc.ReadLong("/a/@v", &l);
            } else if (row.reader == Bool) {
                doc.ReadBool("/a/@v", &b);
            } else {
                doc.ReadFloat("/a/@v", &f);
            }
        };
        if (row.ok) {
            read();
            const double got = row.reader == Long ? l : (row.reader == Bool ? (b ? 1 : 0) : f);
            EXPECT_EQ(got, row.expected);
        } else {
            const std::string message = ErrorOf(read);
            EXPECT_NE(message.find("/a/@v"), std::string::npos) << message;
            EXPECT_NE(message.find(std::string("'") + row.text + "'"), std::string::npos)
                << message;
            EXPECT_EQ(l, 7);
            EXPECT_EQ(f, 7);
        }
    }
}

TEST(XmlDocumentTest, FloatDataTypeGivesANumber) {
    CXmlDocument doc = Loaded();
    CXmlNode rate = doc.SelectSingleNode("//Rate");
    EXPECT_EQ(rate.DataType(), "float");
    ASSERT_EQ(rate.TypedValue().GetKind(), CXmlTypedValue::Kind::Number);
    EXPECT_EQ(rate.TypedValue().Number(), 25.0);
    std::int32_t l = 0;
    ASSERT_TRUE(doc.ReadLong("//Rate", &l));
    EXPECT_EQ(l, 25);

    CXmlNode name = doc.SelectSingleNode("//Channel/Name");
    EXPECT_EQ(name.TypedValue().GetKind(), CXmlTypedValue::Kind::String);
    EXPECT_NE(ErrorOf([&] { name.SetDataType("float"); }).find("first part second"),
              std::string::npos);
    name.SetText("2.5");
    name.SetDataType("float");  // reuses the dt prefix declared on Config
    EXPECT_EQ(name.Xml(), "<Name dt:dt=\"float\">2.5</Name>");
    rate.SetText("fast");
    EXPECT_NE(ErrorOf([&] { doc.ReadLong("//Rate", &l); }).find("XPath '//Rate'"),
              std::string::npos);
}

TEST(XmlDocumentTest, MalformedInputAndXPathAreReportedWithWhereAndWhat) {
    CXmlDocument doc = Loaded();
    try {
        doc.LoadXml("<Config>\n  <Channel id=\"x\">\n</Config>");
        FAIL() << "parsed a malformed document";
    } catch (const CXmlError& e) {
        EXPECT_EQ(e.Line(), 3);
        EXPECT_GT(e.Offset(), 0);
        EXPECT_FALSE(e.Reason().empty());
    }
    EXPECT_EQ(doc.Xml(), kConfig);  // a failed load keeps the old content
    EXPECT_NE(ErrorOf([&] { doc.LoadXml(""); }), "(no error)");
    EXPECT_NE(ErrorOf([&] { doc.SelectSingleNode("//Channel[@id="); }).find("'//Channel[@id='"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] { doc.SelectNodes("count(//Channel)"); }).find("count(//Channel)"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] { doc.Load("/nonexistent/config.xml"); }).find("/nonexistent/config.xml"),
              std::string::npos);
}

TEST(XmlDocumentTest, DoctypeAndEntityDeclarationsAreRefusedWithTheirLine) {
    tmstest::TestRuntimeDir dir;
    struct Row {
        const char* name;
        std::string text;
        int line;
    };
    const std::vector<Row> rows = {
        {"external entity",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE Config [<!ENTITY e SYSTEM "
         "\"file:///etc/passwd\">]>\n<Config><Codec format=\"&e;\"/></Config>",
         2},
        {"nested internal entities",
         "<!-- system configuration -->\n\n<!DOCTYPE Config [\n <!ENTITY a \"x\">\n"
         " <!ENTITY b \"&a;&a;&a;\">]>\n<Config>&b;</Config>",
         3},
        {"external DTD", "<!DOCTYPE Config SYSTEM \"config.dtd\"><Config/>", 1},
        {"empty internal subset", "<!DOCTYPE Config []>\n<Config/>", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CXmlDocument doc = Loaded();
        try {
            doc.LoadXml(row.text);
            FAIL() << "accepted a document type declaration";
        } catch (const CXmlError& e) {
            EXPECT_EQ(e.Line(), row.line);
            EXPECT_NE(e.Reason().find("DOCTYPE"), std::string::npos) << e.Reason();
        }
        EXPECT_EQ(doc.Xml(), kConfig);  // the old content stays

        const std::string path = dir.Path() + "/system.xml";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << row.text;
        const std::string error = ErrorOf([&] { doc.Load(path); });
        EXPECT_NE(error.find("'" + path + "'"), std::string::npos) << error;
        EXPECT_NE(error.find("at line " + std::to_string(row.line)), std::string::npos) << error;
    }

    // A UTF-16 file counts its lines in characters, not bytes.
    const std::string utf8 =
        "<?xml version=\"1.0\"?>\n<!-- \xC3\xA9t\xC3\xA9 -->\n"
        "<!DOCTYPE Config [<!ENTITY e \"v\">]>\n<Config/>";
    std::string utf16 = "\xFF\xFE";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0xC3) {
            continue;  // the two accented letters are U+00E9 only
        }
        utf16.push_back(static_cast<char>(byte == 0xA9 ? 0xE9 : byte));
        utf16.push_back('\0');
    }
    const std::string path = dir.Path() + "/utf16.xml";
    std::ofstream(path, std::ios::binary) << utf16;
    CXmlDocument doc;
    try {
        doc.Load(path);
        FAIL() << "accepted a document type declaration in UTF-16";
    } catch (const CXmlError& e) {
        EXPECT_EQ(e.Line(), 3) << e.what();
    }
}

TEST(XmlDocumentTest, SaveReplacesTheFileAtomically) {
    tmstest::TestRuntimeDir dir;
    const std::string path = dir.Path() + "/config.xml";
    const CXmlDocument doc = Loaded();
    doc.Save(path);
    ::chmod(path.c_str(), 0600);
    CXmlDocument changed = doc.Clone();
    changed.DocumentElement().SetAttribute("version", "2");
    changed.Save(path);

    CXmlDocument reread;
    reread.Load(path);
    EXPECT_EQ(reread.Xml(), "<?xml version=\"1.0\"?>" + changed.Xml());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the replaced file keeps its mode
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.Path().c_str());
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') {
            names.push_back(e->d_name);
        }
    }
    ::closedir(d);
    EXPECT_EQ(names, std::vector<std::string>{"config.xml"});  // no temporary left behind
    EXPECT_NE(
        ErrorOf([&] { doc.Save(dir.Path() + "/missing/config.xml"); }).find("missing/config.xml"),
        std::string::npos);
}

}  // namespace
