#pragma once
// Late-bound calls and their descriptions: IDispatch, the type descriptions an object hands out
// through IProvideClassInfo (plain structs owned by the object's class, in place of a type
// library), and the connection points through which an object calls its event sinks.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ComObject.h"
#include "platform/ComVariant.h"

namespace LumoCom
{

using DispId = int32_t;

enum : uint16_t
{
    DISPATCH_METHOD = 1,
    DISPATCH_PROPERTYGET = 2,
    DISPATCH_PROPERTYPUT = 4,
    DISPATCH_PROPERTYPUTREF = 8,
};

class IDispatch : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000002");

    virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(uint32_t index, IUnknown** info) = 0;
    virtual HRESULT GetIDsOfNames(const std::wstring* names, uint32_t count, DispId* ids) = 0;
    // params may be null for a call without arguments; result may be null when none is wanted.
    virtual HRESULT Invoke(DispId dispid, uint16_t flags, DispParams* params, Variant* result) = 0;
};

// Parameter flags and the kinds of members and types, numbered as in type libraries.
enum : uint16_t
{
    PARAMFLAG_FIN = 1,
    PARAMFLAG_FOUT = 2,
    PARAMFLAG_FLCID = 4,
    PARAMFLAG_FRETVAL = 8,
    PARAMFLAG_FOPT = 0x10,
};

enum InvokeKind : int32_t
{
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};

enum TypeKind : int32_t
{
    TKIND_ENUM = 0,
    TKIND_RECORD = 1,
    TKIND_MODULE = 2,
    TKIND_INTERFACE = 3,
    TKIND_DISPATCH = 4,
    TKIND_COCLASS = 5,
};

enum : int32_t
{
    IMPLTYPEFLAG_FDEFAULT = 1,
    IMPLTYPEFLAG_FSOURCE = 2,
    IMPLTYPEFLAG_FRESTRICTED = 8,
};

// A declared type: for VT_PTR and VT_SAFEARRAY, `pointee` is the type pointed to or held.
struct TypeDesc
{
    VarType vt = VT_EMPTY;
    VarType pointee = VT_EMPTY;
};

struct ElemDesc
{
    TypeDesc type;
    uint16_t paramFlags = 0;
};

struct FuncDesc
{
    DispId memid = 0;
    InvokeKind invkind = INVOKE_FUNC;
    ElemDesc result;
    std::vector<ElemDesc> params;
    std::vector<std::wstring> names; // the member's name, then one per parameter
};

struct InterfaceDesc
{
    Guid iid;
    TypeKind kind = TKIND_DISPATCH;
    std::vector<FuncDesc> funcs;
};

struct ImplType
{
    const InterfaceDesc* iface = nullptr;
    int32_t flags = 0;
};

struct CoClassDesc
{
    Guid clsid;
    std::vector<ImplType> implTypes;
};

class IProvideClassInfo : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000003");
    // *out points at a description that lives as long as the object's class.
    virtual HRESULT GetClassInfo(const CoClassDesc** out) = 0;
};

class IConnectionPoint : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000004");
    virtual HRESULT GetConnectionInterface(Guid* iid) = 0;
    virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(uint32_t cookie) = 0;
};

class IConnectionPointContainer : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000005");
    virtual HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) = 0;
};

constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);

} // namespace LumoCom
