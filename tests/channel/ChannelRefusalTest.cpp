// What a client is told when the RTS answers badly or the channel is not
// free: the reason in its error info, and at once.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>

#include "platform/kernel/LastError.h"
#include "server/appserverutil/ChanAccess.h"
#include "tests/channel/ChannelFixture.h"
#include "tests/channel/TmsctlScript.h"

namespace {

constexpr HRESULT kShortRead = HR(0x80043006);
constexpr HRESULT kChannelInUse = HRESULT_FROM_WIN32(ERROR_BUSY);

class ChannelRefusalTest : public tmstest::ChannelFixture {
protected:
    std::vector<std::string> Forms() const {
        std::vector<std::string> forms;
        for (const auto& m : Received()) {
            forms.push_back(m.FormName());
        }
        return forms;
    }
    std::string InUseBy(const char* application) const {
        return "Chan1: Channel 0 is in use by process " + std::to_string(::getpid()) +
               " (channel_tests, application '" + application + "')";
    }
};

// The channel's application name in its status block: 36 UTF-16 units.
constexpr std::size_t kApplicationOffset = 0x145A4;

std::string WideText(const std::uint8_t* p, std::size_t units) {
    std::string text;
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned c = p[2 * i] | unsigned{p[2 * i + 1]} << 8;
        if (c == 0) {
            break;
        }
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

// Regression: a malformed reply reached the client as its bare code
// ("IDispatch error #11782"); only the error log said why. A reply longer
// than the reply buffer fails its call the same way and the channel stays
// usable.
TEST_F(ChannelRefusalTest, MalformedRtsReplyReachesTheCallersErrorInfo) {
    struct Row {
        const char* fault;
        const char* message;
    } rows[] = {
        {"malformed",
         "Chan1: Malformed reply from the hardware (RTS): Could only read 12 bytes of 248 for "
         "current chunk"},
        {"replysize 2048",
         "Chan1: Malformed reply from the hardware (RTS): a reply of 2048 bytes is longer than "
         "the reply buffer of 1024 bytes"},
    };
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK) << LastErrorText();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        ASSERT_EQ(tmstest::SimControl(std::string("fault ") + row.fault), "ok");
        EXPECT_EQ(m_channel->RefreshConfig(CBstr("gpin")), kShortRead);
        EXPECT_EQ(LastErrorText(), row.message);
        ASSERT_EQ(tmstest::SimControl("fault none"), "ok");
        EXPECT_EQ(m_channel->RefreshConfig(CBstr("gpin")), S_OK) << LastErrorText();
    }
}

// Regression: a second Open of a channel that was open elsewhere queued
// behind the first at the RTS port and failed 60 s later blaming the RTS. It
// fails at once now, naming the channel and its holder, and leaves the
// holder's channel alone: nothing sent, its status kept.
TEST_F(ChannelRefusalTest, SecondOpenOfAChannelInUseFailsAtOnceNamingTheHolder) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0, "holder-app"), S_OK) << LastErrorText();
    Forget();

    CComPtr<ITmsChannel> second = NewChannel();
    EXPECT_EQ(OpenIndex(second, 0, "second-app"), kChannelInUse);
    EXPECT_EQ(LastErrorText(), InUseBy("holder-app"));
    EXPECT_TRUE(Forms().empty()) << "the refused channel sent nothing";
    {
        CChanAccess access(0);
        ASSERT_NE(access.StatusBlock(), nullptr);
        EXPECT_EQ(WideText(access.StatusBlock() + kApplicationOffset, 36), "holder-app")
            << "the holder's status is kept";
    }
    EXPECT_EQ(m_channel->RefreshConfig(CBstr("gpin")), S_OK) << LastErrorText();

    // Another process is told the same, with this one's name.
    const std::string out = tmstest::RunTmsctlScript(m_dir.Path(), "open 0\n");
    EXPECT_NE(out.find("0x800700AA"), std::string::npos) << out;
    EXPECT_NE(out.find(InUseBy("holder-app")), std::string::npos) << out;

    // Closed, the channel is free for the next.
    ASSERT_EQ(m_channel->Close(), S_OK);
    EXPECT_EQ(OpenIndex(second, 0, "second-app"), S_OK) << LastErrorText();
    EXPECT_EQ(second->Close(), S_OK);
}

}  // namespace
