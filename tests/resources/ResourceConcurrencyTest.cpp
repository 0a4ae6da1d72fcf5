// The ancillary-data and GPI resources used from several threads at once,
// as the channel uses them: the status thread copying and publishing their
// status, COM threads asking for status and setting the GPI "enabled"
// property, a configuration pass reading them again, and a context writing
// their states. Each thread runs a fixed number of rounds; ThreadSanitizer
// judges the locking, the test the results. It first caught the GPI state
// writer reading the fields per frame outside the resource lock while a
// configuration pass wrote it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/kernel/NamedObjects.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/resources/ConfigDocument.h"
#include "tests/resources/ForwardingMovie.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/resources/TmsResAncData.h"
#include "tmschannel/resources/TmsResGpi.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

constexpr int kRounds = 200;

const char* const kConfig =
    "<Config><System><SystemVideoReference referenceStandard=\"Format625_50Hz_2To1\"/>"
    "</System><AncDataCodec id=\"Co\" fieldsPerRiff=\"2\"/>"
    "<GpiOutput id=\"G\" controlIndex=\"3\" controller=\"trigger\" triggerAt=\"start\"/>"
    "<Channel id=\"Chan1\" channelIndex=\"0\" channelType=\"Player\">"
    "<AncData index=\"0\"><AncDataCodecComponent id=\"Co\"/></AncData>"
    "<Gpi index=\"0\"><GpiOutputComponent id=\"G\"/></Gpi></Channel></Config>";

TEST(ResourceConcurrencyTest, StatesWrittenWhileTheConfigurationIsReadAgainRacedOnFieldsPerFrame) {
    tmstest::TestRuntimeDir dir;
    ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
    ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
    CComPtr<IXMLDOMDocument2> doc = tmstest::LoadConfig(kConfig);
    CComPtr<IXMLDOMNode> ancElement = tmstest::SelectNode(doc, "//AncData");
    CComPtr<IXMLDOMNode> gpiElement = tmstest::SelectNode(doc, "//Gpi");
    auto anc = std::make_unique<CTmsResAncData>(0);
    auto gpi = std::make_unique<CTmsResGpi>(0);
    ASSERT_EQ(anc->InitFromConfig(doc, ancElement), S_OK);
    ASSERT_EQ(gpi->InitFromConfig(doc, gpiElement), S_OK);

    CRtsShmemWriter writer;
    ASSERT_EQ(writer.Create(1), 0u);
    CRtsShmem shmem;
    ASSERT_TRUE(shmem.Open());
    {
        CRtsChannelWrite w(writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->gpiOutputMask = 0x8;
    }
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));

    CComPtr<IMovie> movie = tmstest::NewMovie("c");
    ASSERT_NE(movie, nullptr);
    unsigned short segment = 0;
    ASSERT_EQ(movie->AppendSegment(4, 0, 0, 100, 4, nullptr, &segment), S_OK);

    std::atomic<int> failures{0};
    auto check = [&](HRESULT hr) {
        if (FAILED(hr)) {
            ++failures;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the status thread
        for (int i = 1; i <= kRounds; ++i) {
            const auto cycle = static_cast<std::uint16_t>(i);
            check(anc->PutStatus(cycle, shmem, 0));
            check(gpi->PutStatus(cycle, shmem, 0));
            check(anc->PublishStatus(access));
            check(gpi->PublishStatus(access));
        }
    });
    threads.emplace_back([&] {  // a COM client
        for (int i = 0; i < kRounds; ++i) {
            bool refresh = false;
            check(gpi->SetProperty(nullptr, "enabled", CVariant(i % 2 == 0), true, &refresh));
            CVariant v;
            check(gpi->GetProperty("enabled", v.GetAddress()));
            check(gpi->StringToStatus("outputmask", v.GetAddress()));
            check(anc->StringToStatus("fieldsPerRiff", v.GetAddress()));
            check(anc->StringToStatus("tickcount", v.GetAddress()));
            anc->IsAssignedForRecord();
            anc->GetBytesPerSecond();
        }
    });
    threads.emplace_back([&] {  // a configuration pass
        for (int i = 0; i < kRounds; ++i) {
            check(anc->InitFromConfig(doc, ancElement));
            check(gpi->InitFromConfig(doc, gpiElement));
        }
    });
    threads.emplace_back([&] {  // a context sending states
        std::vector<std::unique_ptr<StateEntry>> owned;
        std::vector<StateEntry*> states;
        for (std::int32_t m = 0; m < 40; m += 2) {
            owned.push_back(std::make_unique<StateEntry>());
            owned.back()->position = {m, m};
            states.push_back(owned.back().get());
        }
        for (int i = 0; i < kRounds; ++i) {
            CMmioMsg message(rts::kLargeMessageSize);
            rts::CStateMessageBuilder states2(message);
            CFileMap files;
            StateWriteTarget target{movie, &states2, &files, 0, 99};
            check(gpi->WriteStates(target, 0, false, false, states));
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(gpi->StatusCycle(), kRounds);
    EXPECT_EQ(gpi->OutputMask(), 0x8u);
    EXPECT_EQ(anc->FieldsPerRiff(), 2);

    movie.Release();
    shmem.Close();
    writer.Destroy();
    UnlinkAllNamedObjects();
    CoFreeUnusedLibrariesEx(0, 0);
}

}  // namespace
