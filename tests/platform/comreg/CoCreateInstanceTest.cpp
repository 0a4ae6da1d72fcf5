#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ComRegistry.h"
#include "platform/com/IClassFactory.h"
#include "tests/platform/comreg/ErrorText.h"
#include "tests/platform/comreg/TestWidget.h"
#include "tests/support/TestRuntimeDir.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr CLSID kUnknownClass = MakeGuid("{DEADBEEF-0000-4000-8000-000000000001}");

// True when the library is in the process; RTLD_NOLOAD never loads it, but
// adds a reference that must be dropped again.
bool IsLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

template <class T>
HRESULT Create(const CLSID& clsid, T** out, DWORD clsctx = CLSCTX_INPROC_SERVER) {
    return CoCreateInstance(clsid, nullptr, clsctx, UuidOf<T>(), reinterpret_cast<void**>(out));
}

class CoCreateInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { CoFreeUnusedLibrariesEx(0, 0); }
    void TearDown() override { CoFreeUnusedLibrariesEx(0, 0); }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(CoCreateInstanceTest, RegisteredServerCreatesWorkingObjects) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_EQ(S_OK, DllRegisterServerAt(TMS_TEST_SERVER_PATH));

    ClassEntry entry;
    ASSERT_EQ(S_OK, CComRegistry().LookupClass(CLSID_TestWidget, &entry));
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(TMS_TEST_SERVER_PATH, resolved));
    EXPECT_EQ(resolved, entry.inprocServer32);  // the server found its own path
    EXPECT_EQ("Free", entry.threadingModel);

    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(kTestWidgetProgId, &clsid));
    EXPECT_EQ(CLSID_TestWidget, clsid);
    clsid = CLSID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"TmsTest.Widget", &clsid));
    EXPECT_EQ(CLSID_TestWidget, clsid);

    CComPtr<ITestWidget> widget;
    ASSERT_EQ(S_OK, Create(clsid, &widget, CLSCTX_ALL));
    LONG sum = 0;
    ASSERT_EQ(S_OK, widget->Add(40, 2, &sum));
    EXPECT_EQ(42, sum);
    CComPtr<IUnknown> unknown1;
    CComPtr<IUnknown> unknown2;
    ASSERT_EQ(S_OK, widget.QueryInterface(&unknown1));
    ASSERT_EQ(S_OK, Create(clsid, &unknown2));
    EXPECT_NE(unknown1.Get(), unknown2.Get());  // two objects, two identities
    CComPtr<IClassFactory> notThere;
    EXPECT_EQ(E_NOINTERFACE, widget.QueryInterface(&notThere));
    EXPECT_EQ(0u, unknown2.Detach()->Release());  // its only reference
    widget = nullptr;
    EXPECT_EQ(0u, unknown1.Detach()->Release());

    ASSERT_EQ(S_OK, DllUnregisterServerAt(TMS_TEST_SERVER_PATH));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, Create(CLSID_TestWidget, &widget));
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(kTestWidgetProgId, &clsid));
    EXPECT_EQ(S_OK, CoUninitialize());
    EXPECT_EQ(S_OK, CoUninitialize());
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoUninitialize());
}

TEST_F(CoCreateInstanceTest, ActivationFailuresAreReportedWithTheirCause) {
    CComRegistry registry;
    ASSERT_EQ(S_OK, registry.RegisterClass(CLSID_TestWidget, TMS_TEST_SERVER_PATH, "Free", ""));
    const CLSID missing = MakeGuid("{DEADBEEF-0000-4000-8000-000000000002}");
    ASSERT_EQ(S_OK, registry.RegisterClass(missing, "/nonexistent/libgone.so", "Free", ""));
    const CLSID noEntry = MakeGuid("{DEADBEEF-0000-4000-8000-000000000003}");
    ASSERT_EQ(S_OK, registry.RegisterClass(noEntry, TMS_NOENTRY_SERVER_PATH, "Free", ""));
    const CLSID notElf = MakeGuid("{DEADBEEF-0000-4000-8000-000000000004}");
    ASSERT_EQ(S_OK, registry.RegisterClass(notElf, registry.Path(), "Free", ""));
    const CLSID wrongClass = MakeGuid("{DEADBEEF-0000-4000-8000-000000000005}");
    ASSERT_EQ(S_OK, registry.RegisterClass(wrongClass, TMS_TEST_SERVER_PATH, "Free", ""));

    struct Row {
        const char* what;
        CLSID clsid;
        DWORD clsctx;
        HRESULT hr;
        std::string message;
    };
    const Row rows[] = {
        {"unknown class", kUnknownClass, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG,
         GuidToString(kUnknownClass)},
        {"out of process only", CLSID_TestWidget, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG,
         "CLSCTX_INPROC_SERVER"},
        {"missing library", missing, CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND,
         "/nonexistent/libgone.so"},
        {"not a library", notElf, CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND, registry.Path()},
        {"no DllGetClassObject", noEntry, CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL,
         "does not export DllGetClassObject"},
        {"server lacks the class", wrongClass, CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE,
         "does not provide class"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CComPtr<IUnknown> object;
        EXPECT_EQ(row.hr, Create(row.clsid, &object, row.clsctx));
        EXPECT_EQ(nullptr, object.Get());
        const std::string message = TakeErrorText();
        EXPECT_NE(std::string::npos, message.find(row.message)) << message;
    }

    CComPtr<IUnknown> object;
    CComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, Create(CLSID_TestWidget, &outer));
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_TestWidget, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)));
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_TestWidget, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory,
                                                     reinterpret_cast<void**>(&object)));
    EXPECT_EQ(nullptr, object.Get());

    CLSID clsid = kUnknownClass;
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID("No.Such.Class", &clsid));
    EXPECT_EQ(CLSID_NULL, clsid);
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"bad progid", &clsid));
    EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(static_cast<const char*>(nullptr), &clsid));
    EXPECT_EQ(CO_E_DLLNOTFOUND, DllRegisterServerAt("/nonexistent/libgone.so"));
    EXPECT_EQ(CO_E_ERRORINDLL, DllRegisterServerAt(TMS_NOENTRY_SERVER_PATH));
}

TEST_F(CoCreateInstanceTest, ServerIsUnloadedOnlyWhenNoObjectOrLockRemains) {
    ASSERT_EQ(S_OK,
              CComRegistry().RegisterClass(CLSID_TestWidget, TMS_TEST_SERVER_PATH, "Free", ""));
    ASSERT_FALSE(IsLoaded(TMS_TEST_SERVER_PATH));

    CComPtr<ITestWidget> widget;
    ASSERT_EQ(S_OK, Create(CLSID_TestWidget, &widget));
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_TRUE(IsLoaded(TMS_TEST_SERVER_PATH)) << "unloaded under a live object";

    // A factory held without a lock still keeps the server, and so does a lock
    // after the factory is gone.
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_TestWidget, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    widget = nullptr;
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_TRUE(IsLoaded(TMS_TEST_SERVER_PATH)) << "unloaded under a class factory";
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory = nullptr;
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_TRUE(IsLoaded(TMS_TEST_SERVER_PATH)) << "unloaded under LockServer";

    // Re-activation finds the loaded server; its factory ends the lock.
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_TestWidget, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    factory = nullptr;
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_FALSE(IsLoaded(TMS_TEST_SERVER_PATH));

    // An unloaded server is loaded again on demand.
    ASSERT_EQ(S_OK, Create(CLSID_TestWidget, &widget));
    LONG sum = 0;
    EXPECT_EQ(S_OK, widget->Add(1, 2, &sum));
    EXPECT_EQ(3, sum);
}

// Regression guard for closing a server between "can unload" and another
// thread's activation, and for closing it while the thread that released the
// last object still runs the end of that Release in the library: creations
// race a thread that frees unused libraries after a short idle time, with
// pauses so that the server really is closed and loaded again (a library
// closed under running code crashes here, under ASan at once).
TEST_F(CoCreateInstanceTest, ActivationRacingFreeUnusedLibrariesNeverLosesAServer) {
    ASSERT_EQ(S_OK,
              CComRegistry().RegisterClass(CLSID_TestWidget, TMS_TEST_SERVER_PATH, "Free", ""));
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread freer([&] {
        while (!done.load()) {
            CoFreeUnusedLibrariesEx(2, 0);
        }
    });
    std::vector<std::thread> creators;
    for (int t = 0; t < 2; ++t) {
        creators.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                if (i % 50 == 49) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                CComPtr<ITestWidget> widget;
                LONG sum = 0;
                if (FAILED(Create(CLSID_TestWidget, &widget)) || FAILED(widget->Add(i, 1, &sum)) ||
                    sum != i + 1) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : creators) {
        t.join();
    }
    done = true;
    freer.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
