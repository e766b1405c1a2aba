#pragma once
// The core of our COM-like object layer: result codes, interface ids, IUnknown, a smart
// reference and the reference count every object shares. It exists so that the web view's
// container, sites and browser control read as the component model they were written for,
// without any system header: objects are plain C++ classes, interfaces are abstract classes and
// an object answers QueryInterface with a pointer to the matching base.
//
// Everything runs on the GUI thread, but counts are atomic because references may be dropped from
// wherever the last holder lives.

#include <atomic>
#include <cassert>
#include <compare>
#include <cstdint>
#include <string>
#include <utility>

namespace LumoCom
{

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT INPLACE_E_NOTOOLSPACE = static_cast<HRESULT>(0x800401A1);
constexpr HRESULT MK_E_NOOBJECT = static_cast<HRESULT>(0x800401E5);
constexpr HRESULT OLECMDERR_E_NOTSUPPORTED = static_cast<HRESULT>(0x80040100);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// A 128-bit interface or class id in the usual text form "8856F961-340A-11D0-A96B-00C04FD705A2".
struct Guid
{
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};

    // Parses the 36-character text form; anything else is a compile error in a constant
    // expression and throws at run time.
    static constexpr Guid Parse(const char* text)
    {
        Guid g;
        int pos = 0;
        auto hex = [&](int digits) {
            uint32_t value = 0;
            for (int i = 0; i < digits; ++i, ++pos)
            {
                char c = text[pos];
                uint32_t d = c >= '0' && c <= '9'   ? uint32_t(c - '0')
                             : c >= 'A' && c <= 'F' ? uint32_t(c - 'A' + 10)
                             : c >= 'a' && c <= 'f' ? uint32_t(c - 'a' + 10)
                                                    : throw "Guid::Parse: not a hex digit";
                value = value << 4 | d;
            }
            return value;
        };
        auto dash = [&] {
            if (text[pos++] != '-')
                throw "Guid::Parse: '-' expected";
        };
        g.data1 = hex(8);
        dash();
        g.data2 = uint16_t(hex(4));
        dash();
        g.data3 = uint16_t(hex(4));
        dash();
        g.data4[0] = uint8_t(hex(2));
        g.data4[1] = uint8_t(hex(2));
        dash();
        for (int i = 2; i < 8; ++i)
            g.data4[i] = uint8_t(hex(2));
        if (text[pos] != '\0')
            throw "Guid::Parse: trailing text";
        return g;
    }

    std::string ToString() const;

    friend constexpr auto operator<=>(const Guid&, const Guid&) = default;
};

// Interface ids are this layer's own values; only class ids name real classes.
class IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000000");

    // On success *out holds a referenced pointer to the interface; on failure it is null.
    virtual HRESULT QueryInterface(const Guid& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default; // objects die through Release only
};

// The id of an interface, found by the name of its class: LumoCom::IidOf<IDispatch>().
template <class I>
constexpr const Guid& IidOf()
{
    return I::kIid;
}

inline constexpr Guid IID_IUnknown = IUnknown::kIid;

// An owned reference: AddRef on copy, Release on reset, like the system's smart pointers.
template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T* p) : m_p(p) // takes a new reference
    {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    // Adopts a reference the caller already owns (QueryInterface and factories give those).
    static ComPtr Attach(T* p)
    {
        ComPtr result;
        result.m_p = p;
        return result;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }

    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // For out-parameters: the old reference is released first.
    T** Put()
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    // Queries another interface of the same object; empty when it has none.
    template <class U>
    ComPtr<U> As() const
    {
        ComPtr<U> result;
        if (m_p)
            m_p->QueryInterface(IidOf<U>(), result.PutVoid());
        return result;
    }

private:
    T* m_p = nullptr;
};

// Queries iid from any object; empty when unk is null or lacks it.
template <class U>
ComPtr<U> QueryAs(IUnknown* unk)
{
    ComPtr<U> result;
    if (unk)
        unk->QueryInterface(IidOf<U>(), result.PutVoid());
    return result;
}

// The reference count of one object. Release never goes below 0: a surplus Release is a caller's
// bug, answered with 0 and no deletion (debug builds stop on it) rather than a double delete.
class RefCount
{
public:
    uint32_t Increment() { return uint32_t(m_count.fetch_add(1, std::memory_order_relaxed) + 1); }

    // The new count; the caller deletes the object when it is 0 and `reachedZero` is set.
    uint32_t Decrement(bool& reachedZero)
    {
        reachedZero = false;
        int32_t current = m_count.load(std::memory_order_relaxed);
        do
        {
            if (current < 1)
            {
                assert(!"Release on an object whose count is already 0");
                return 0;
            }
        } while (!m_count.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
        reachedZero = current == 1;
        return uint32_t(current - 1);
    }

    int32_t Value() const { return m_count.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> m_count{0};
};

// Counts the live objects of one class, so tests can prove that teardown freed them all.
template <class T>
class LiveCounter
{
public:
    LiveCounter() { s_live.fetch_add(1, std::memory_order_relaxed); }
    LiveCounter(const LiveCounter&) { s_live.fetch_add(1, std::memory_order_relaxed); }
    ~LiveCounter() { s_live.fetch_sub(1, std::memory_order_relaxed); }
    static int Live() { return s_live.load(std::memory_order_relaxed); }

private:
    static inline std::atomic<int> s_live{0};
};

// AddRef/Release of an object with one identity, deleting itself at zero. Derived classes write
// `LUMOCOM_REFCOUNTED` in their body to implement both for every interface they derive from.
#define LUMOCOM_REFCOUNTED                                                                         \
    uint32_t AddRef() override { return m_refCount.Increment(); }                                  \
    uint32_t Release() override                                                                    \
    {                                                                                              \
        bool zero = false;                                                                         \
        uint32_t count = m_refCount.Decrement(zero);                                               \
        if (zero)                                                                                  \
            delete this;                                                                           \
        return count;                                                                              \
    }                                                                                              \
                                                                                                   \
private:                                                                                           \
    ::LumoCom::RefCount m_refCount;                                                                \
                                                                                                   \
public:

// Helper for QueryInterface: stores p (AddRef'd) in *out and answers S_OK.
template <class I>
HRESULT Answer(I* p, void** out)
{
    p->AddRef();
    *out = p;
    return S_OK;
}

} // namespace LumoCom
