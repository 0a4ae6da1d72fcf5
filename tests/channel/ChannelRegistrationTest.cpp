// The component's own registration in the runtime folder's class registry:
// the class entry with its ProgIDs and threading model, unregistering, the
// library's unload answer, and which interfaces carry error info.
#include <dlfcn.h>

#include "platform/com/ComRegistry.h"
#include "platform/com/IClassFactory.h"
#include "platform/com/ISupportErrorInfo.h"
#include "tests/channel/ChannelFixture.h"

namespace {

using ChannelRegistrationTest = tmstest::ChannelFixture;

TEST_F(ChannelRegistrationTest, TheClassIsRegisteredFreeThreadedUnderBothProgIds) {
    ClassEntry entry;
    ASSERT_EQ(CComRegistry().LookupClass(CLSID_TmsChannel, &entry), S_OK);
    EXPECT_EQ(entry.name, "TmsChannel Class");
    EXPECT_EQ(entry.threadingModel, "Free");
    EXPECT_EQ(entry.inprocServer32, TMS_CHANNEL_LIB);
    EXPECT_EQ(entry.progId, "Vandrel.TmsChannel.1");
    EXPECT_EQ(entry.versionIndependentProgId, "Vandrel.TmsChannel");
    EXPECT_TRUE(entry.typeLib == LIBID_TmsChannelLib);
    for (const char* progId : {"Vandrel.TmsChannel.1", "Vandrel.TmsChannel"}) {
        SCOPED_TRACE(progId);
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        EXPECT_TRUE(clsid == CLSID_TmsChannel);
    }
}

TEST_F(ChannelRegistrationTest, UnregisteringRemovesTheClassAndItsProgIds) {
    ASSERT_EQ(DllUnregisterServerAt(TMS_CHANNEL_LIB), S_OK);
    ClassEntry entry;
    EXPECT_EQ(CComRegistry().LookupClass(CLSID_TmsChannel, &entry), REGDB_E_CLASSNOTREG);
    for (const char* progId : {"Vandrel.TmsChannel.1", "Vandrel.TmsChannel"}) {
        SCOPED_TRACE(progId);
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), CO_E_CLASSSTRING);
    }
    CComPtr<ITmsChannel> channel;
    EXPECT_EQ(CoCreateInstance(CLSID_TmsChannel, nullptr, CLSCTX_INPROC_SERVER, IID_ITmsChannel,
                               reinterpret_cast<void**>(&channel)),
              REGDB_E_CLASSNOTREG);
    // Registering again restores it all.
    ASSERT_EQ(DllRegisterServerAt(TMS_CHANNEL_LIB), S_OK);
    ASSERT_EQ(CComRegistry().LookupClass(CLSID_TmsChannel, &entry), S_OK);
    EXPECT_EQ(entry.progId, "Vandrel.TmsChannel.1");
}

TEST_F(ChannelRegistrationTest, TheLibraryStaysWhileAnObjectOrTheFactoryLives) {
    m_channel = NewChannel();
    ASSERT_NE(m_channel, nullptr);
    // Already loaded by CoCreateInstance: the same library, one more reference.
    void* library = dlopen(TMS_CHANNEL_LIB, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    const auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(library, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE) << "an object lives";
    m_channel.Release();
    EXPECT_EQ(canUnload(), S_OK);
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TmsChannel, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "the server is locked";
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Release();
    EXPECT_EQ(canUnload(), S_OK);
    dlclose(library);
}

TEST_F(ChannelRegistrationTest, OnlyTheChannelInterfaceSupportsErrorInfo) {
    m_channel = NewChannel();
    CComPtr<ISupportErrorInfo> info;
    ASSERT_EQ(m_channel->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&info)),
              S_OK);
    struct Row {
        const char* name;
        IID iid;
        HRESULT answer;
    } rows[] = {{"ITmsChannel", IID_ITmsChannel, S_OK},
                {"ITmsContextBroker", IID_ITmsContextBroker, S_FALSE},
                {"IUnknown", IID_IUnknown, S_FALSE},
                {"ISupportErrorInfo", IID_ISupportErrorInfo, S_FALSE}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(info->InterfaceSupportsErrorInfo(row.iid), row.answer);
    }
}

}  // namespace
