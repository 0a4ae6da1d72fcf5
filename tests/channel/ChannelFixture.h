// A channel as a client sees it: the component and its outside servers
// registered in a private runtime folder, a tms-rtssim process dumping every
// message it receives, and a TmsChannel made with CoCreateInstance.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Variant.h"
#include "server/configmgr/SystemConfigFile.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessageFormat.h"
#include "tmschannel/tmschannel.h"

namespace tmstest {

// One message as the simulator received it.
struct DumpedMessage {
    std::uint32_t form = 0;
    std::vector<BYTE> bytes;
    // The body of the first chunk with this id anywhere in the message
    // (empty when none).
    std::vector<BYTE> Chunk(std::uint32_t id, int nth = 0) const;
    // The first chunk with this id as the record T (zeros when its size is
    // not T's, which fails the test).
    template <class T>
    T ChunkAs(std::uint32_t id) const {
        T record{};
        const std::vector<BYTE> body = Chunk(id);
        EXPECT_EQ(body.size(), sizeof record);
        if (body.size() == sizeof record) {
            std::memcpy(&record, body.data(), sizeof record);
        }
        return record;
    }
    std::string FormName() const { return std::string(reinterpret_cast<const char*>(&form), 4); }
};

// Polls until done() or limit has passed; done()'s last answer.
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

class ChannelFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the simulator (dumping into DumpDir()); "" on success.
    std::string StartSimulator(const std::vector<std::string>& extra = {});
    // Replaces text in the runtime folder's system configuration.
    void EditConfig(const std::string& from, const std::string& to);
    // Leaves the channel with only its video (and the kinds not named):
    // no Audio and no Timecode element.
    void RemoveAudioAndTimecode(const std::string& channelId);
    std::string ConfigText() const;

    // The messages received so far, in order; Forget drops them.
    std::vector<DumpedMessage> Received() const;
    void Forget();
    std::string DumpDir() const { return m_dir.Path() + "/dump"; }

    HRESULT OpenIndex(ITmsChannel* channel, int index, const char* app = "test-app");
    HRESULT OpenName(ITmsChannel* channel, const char* name);
    CComPtr<ITmsChannel> NewChannel();
    // The calling thread's error info description ("" when none).
    static std::string LastErrorText();

    TestRuntimeDir m_dir;
    RtsSimProcess m_sim;
    CComPtr<ITmsChannel> m_channel;
    std::size_t m_forgotten = 0;
};

}  // namespace tmstest
