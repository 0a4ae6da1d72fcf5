#include "platform/com/ComPtr.h"

#include "TestObject.h"
#include "platform/com/IDispatch.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(ComPtr, QueryInterfaceGivesNullOnlyForMissingInterfaces) {
    int live = 0;
    CComPtr<ITestThing> thing = MakeComObject<CTestThing>(3, &live);
    CComPtr<ISupportErrorInfo> support = thing.QueryInterface<ISupportErrorInfo>();
    ASSERT_NE(support, nullptr);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(ITestThing::kIid), S_OK);
    EXPECT_EQ(thing.QueryInterface<IDispatch>(), nullptr);
    // IUnknown has one identity whichever interface is asked.
    EXPECT_EQ(thing.QueryInterface<IUnknown>().Get(), support.QueryInterface<IUnknown>().Get());
    void* out = &live;
    EXPECT_EQ(thing->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST(ComPtr, ConcurrentCopiesDestroyTheObjectOnce) {
    int live = 0;
    CComPtr<ITestThing> shared = MakeComObject<CTestThing>(1, &live);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = shared] {
            for (int i = 0; i < 10000; ++i) {
                CComPtr<ITestThing> local = copy;
                CComPtr<IUnknown> other = local.QueryInterface<IUnknown>();
            }
        });
    }
    shared = nullptr;
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(live, 0);
}

}  // namespace
