// What the resource tests share: the XML and timeline servers registered,
// a configuration document, the RTS shared memory of one channel that the
// test writes and the resource reads, and new movies. Everything is undone
// in TearDown, shared memory included.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/support/TestRuntimeDir.h"

namespace tmstest {

class ResourceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
        ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
    }
    void TearDown() override {
        m_shmem.Close();
        m_writer.Destroy();
        UnlinkAllNamedObjects();
        CoFreeUnusedLibrariesEx(0, 0);
    }

    // xml becomes the configuration document.
    void LoadConfig(const std::string& xml) {
        m_doc.Release();
        ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument2, reinterpret_cast<void**>(&m_doc)),
                  S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(m_doc->loadXML(CBstr(xml), &ok), S_OK);
        ASSERT_EQ(ok, VARIANT_TRUE) << xml;
    }
    CComPtr<IXMLDOMNode> Element(const std::string& xpath) {
        CComPtr<IXMLDOMNode> element;
        EXPECT_EQ(m_doc->selectSingleNode(CBstr(xpath), &element), S_OK) << xpath;
        return element;
    }
    // The RTS shared memory made and open for reading (once).
    void OpenRts() {
        if (!m_open) {
            ASSERT_EQ(m_writer.Create(1), 0u);
            ASSERT_TRUE(m_shmem.Open());
            m_open = true;
        }
    }
    // An empty movie "ds/grp/NAME".
    CComPtr<IMovie> NewMovie(const std::string& name) {
        CComPtr<IMovieBuilder> builder;
        EXPECT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMovieBuilder, reinterpret_cast<void**>(&builder)),
                  S_OK);
        CComPtr<ITimeline> timeline;
        unsigned short code = 0;
        EXPECT_EQ(builder->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), &code,
                                          IID_ITimeline, reinterpret_cast<void**>(&timeline)),
                  S_OK);
        CComPtr<IMovie> movie;
        EXPECT_EQ(timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie)), S_OK);
        return movie;
    }

    TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_doc;
    CRtsShmemWriter m_writer;
    CRtsShmem m_shmem;
    bool m_open = false;  // m_writer made and m_shmem open
};

}  // namespace tmstest
