// CComPtr<T>, the owning smart pointer for an interface: one reference, added
// on copy and released on destruction. Dereferencing a null pointer throws
// _com_error(E_POINTER) instead of crashing.
//
// Thread safety: one CComPtr object is not safe to change from two threads at
// once; distinct CComPtr objects that share an interface are (reference
// counting of the objects is thread-safe).
#pragma once

#include "platform/com/ComError.h"
#include "platform/com/IUnknown.h"

#include <concepts>
#include <cstddef>
#include <memory>
#include <utility>

template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}
    // Adds a reference: the caller keeps its own. Use Attach to take one over.
    CComPtr(T* p) noexcept : m_p(p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p) {}
    template <class U>
    requires std::convertible_to<U*, T*> CComPtr(const CComPtr<U>& other)
    noexcept : CComPtr(static_cast<T*>(other.Get())) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.m_p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            Attach(std::exchange(other.m_p, nullptr));
        }
        return *this;
    }
    CComPtr& operator=(T* p) noexcept {
        // Add before release so that assigning the pointer to itself is safe.
        if (p != nullptr) {
            p->AddRef();
        }
        Attach(p);
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) noexcept {
        Release();
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    operator T*() const noexcept { return m_p; }
    T* operator->() const {
        if (m_p == nullptr) {
            _com_issue_error(E_POINTER);
        }
        return m_p;
    }
    T& operator*() const { return *operator->(); }

    // For an [out] parameter: releases the interface held and hands out the
    // slot for the callee to fill with a new reference.
    T** operator&() noexcept {
        Release();
        return &m_p;
    }

    // Takes over the reference p carries, releasing the one held.
    void Attach(T* p) noexcept {
        T* old = std::exchange(m_p, p);
        if (old != nullptr) {
            old->Release();
        }
    }
    // Gives the reference to the caller and leaves this pointer null.
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void Release() noexcept { Attach(nullptr); }

    // Hands a new reference to an [out] parameter.
    HRESULT CopyTo(T** out) const noexcept {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = m_p;
        if (m_p != nullptr) {
            m_p->AddRef();
        }
        return S_OK;
    }

    // Asks the object for interface U; returns QueryInterface's HRESULT, or
    // E_POINTER when this pointer or out is null (then *out is null).
    template <class U>
    HRESULT QueryInterface(U** out) const noexcept {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (m_p == nullptr) {
            return E_POINTER;
        }
        return m_p->QueryInterface(UuidOf<U>(), reinterpret_cast<void**>(out));
    }

    // Asks the object for interface U: a null pointer when the object does not
    // have it (E_NOINTERFACE); any other failure, or a null pointer here,
    // throws _com_error.
    template <class U>
    CComPtr<U> QueryInterface() const {
        if (m_p == nullptr) {
            _com_issue_error(E_POINTER);
        }
        CComPtr<U> result;
        const HRESULT hr = m_p->QueryInterface(UuidOf<U>(), reinterpret_cast<void**>(&result));
        if (FAILED(hr) && hr != E_NOINTERFACE) {
            _com_issue_error(hr);
        }
        return result;
    }

private:
    T* m_p = nullptr;
};
