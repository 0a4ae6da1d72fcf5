// What a CXmlDocument owns: its tree and the detached nodes (clones and
// created elements not yet put into the tree) that belong to it. Internal to
// platform/xml; node handles point into it.
//
// Thread safety: as the document (one thread at a time).
#pragma once

#include <memory>
#include <vector>

#include <pugixml.hpp>

struct CXmlDocumentState {
    pugi::xml_document tree;
    // Each detached node lives alone in a document of its own until the owning
    // document is destroyed or loaded again.
    std::vector<std::unique_ptr<pugi::xml_document>> detached;

    pugi::xml_document& NewDetached() {
        detached.push_back(std::make_unique<pugi::xml_document>());
        return *detached.back();
    }
};
