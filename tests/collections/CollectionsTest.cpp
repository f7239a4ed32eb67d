// Collections, enumerators and items as a caller holds them: lookups by every kind of index,
// enumeration rules and interface tables.
#include <windows.h>
#include <gtest/gtest.h>
#include "model/Collections.h"
#include "model/Items.h"
#include "server/Handles.h"
#include "tests/support/TestSupport.h"

namespace {

_stringx NameOf(IDispatch* item) {
    ComPtr<IDialogItem> named;
    if (!item || FAILED(item->QueryInterface(IID_IDialogItem, named.PutVoid()))) return L"<none>";
    unique_bstr name;
    EXPECT_EQ(S_OK, named->get_Name(name.put()));
    return name.get();
}

VARIANT Index(VARTYPE type, LONG value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    VariantChangeType(&v, &v, 0, type);  // also to VT_R8 and VT_BSTR (leaked: the test is short)
    return v;
}

using Collections = cvtest::ComTest;

TEST_F(Collections, ItemByPositionOrKey) {
    ComPtr<IDialogCollection> dialogs = MakeDialogCollection({L"Alpha", L"Beta", L"Gamma"});
    LONG two = 2;
    VARIANT refToTwo, three = Index(VT_I4, 3), refToVariant, null, name;
    V_VT(&refToTwo) = VT_BYREF | VT_I4;
    V_I4REF(&refToTwo) = &two;
    V_VT(&refToVariant) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&refToVariant) = &three;
    V_VT(&null) = VT_NULL;
    V_VT(&name) = VT_BSTR;
    V_BSTR(&name) = SysAllocString(L"alpha");

    struct Case {
        const char* what;
        VARIANT index;
        const wchar_t* found;  // null: nothing found
    } cases[] = {
        {"VT_I2 1", Index(VT_I2, 1), L"Alpha"},         {"VT_UI4 2", Index(VT_UI4, 2), L"Beta"},
        {"text 1", Index(VT_BSTR, 1), L"Alpha"},        {"VT_R8 1.0 as text", Index(VT_R8, 1), L"Alpha"},
        {"VT_BYREF|VT_I4 2", refToTwo, L"Beta"},        {"reference to a VARIANT 3", refToVariant, L"Gamma"},
        {"0", Index(VT_I4, 0), nullptr},                {"Count+1", Index(VT_UI2, 4), nullptr},
        {"a name is not a key", name, nullptr},         {"VT_NULL cannot be converted", null, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IDispatch* item = reinterpret_cast<IDispatch*>(1);
        HRESULT hr = dialogs->get_Item(c.index, &item);
        ComPtr<IDispatch> held;
        held.Attach(item);
        EXPECT_EQ(c.found ? S_OK : E_INVALIDARG, hr);
        EXPECT_EQ(_stringx(c.found ? c.found : L"<none>"), NameOf(item));
    }
    EXPECT_EQ(E_POINTER, dialogs->get_Item(three, nullptr));
}

TEST_F(Collections, ModuleKeysIgnoreCaseAndMissingGivesNull) {
    ComPtr<IDialogCollection> names = MakeDialogCollection({L"First", L"Second", L"Third"});
    ComPtr<IDispatch> item[3];
    for (LONG i = 0; i < 3; ++i) ASSERT_EQ(S_OK, names->get_Item(Index(VT_I4, i + 1), item[i].Put()));

    auto modules = MakeCollection<ModuleCollection>();
    modules->Add(L"Mod.A:1033", item[0].Get());
    modules->Add(L"Mod.B:0", item[1].Get());
    modules->Add(L"MOD.a:1033", item[2].Get());  // the same key: replaced in place
    EXPECT_EQ(2u, modules->Size());
    ComPtr<IDispatch> found;
    EXPECT_EQ(S_OK, modules->get_Item(Index(VT_I4, 1), found.Put()));
    EXPECT_EQ(_stringx(L"Third"), NameOf(found.Get()));
    EXPECT_EQ(S_OK, modules->get_Item(Index(VT_I4, 3), found.Put()));
    EXPECT_FALSE(found);

    // Removing moves the later elements down, and their index entries with them.
    EXPECT_EQ(E_INVALIDARG, modules->RemoveAt(2));
    EXPECT_EQ(S_OK, modules->RemoveAt(0));
    EXPECT_EQ(0u, modules->FindKey(L"mod.b:0"));
    EXPECT_EQ(CollectionStore::npos, modules->FindKey(L"Mod.A:1033"));

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, modules->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IModuleCollection));
    EXPECT_EQ(E_NOINTERFACE, names->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()));
}

TEST_F(Collections, EnumeratorNextSkipResetClone) {
    ComPtr<IDialogCollection> dialogs = MakeDialogCollection({L"Alpha", L"Beta", L"Gamma"});
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk, clone;
    ASSERT_EQ(S_OK, dialogs->get__NewEnum(unknown.Put()));
    ASSERT_EQ(S_OK, unknown.As(IID_IEnumVARIANT, walk));

    VARIANT slots[3];
    ULONG fetched = 99;
    EXPECT_EQ(E_POINTER, walk->Next(1, nullptr, &fetched));
    EXPECT_EQ(E_POINTER, walk->Next(2, slots, nullptr));
    ASSERT_EQ(S_OK, walk->Next(1, slots, nullptr)) << "one at a time needs no fetched count";
    EXPECT_EQ(_stringx(L"Alpha"), NameOf(V_DISPATCH(&slots[0])));
    VariantClear(&slots[0]);

    ASSERT_EQ(S_OK, walk->Clone(clone.Put()));
    EXPECT_EQ(S_FALSE, walk->Next(3, slots, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(_stringx(L"Gamma"), NameOf(V_DISPATCH(&slots[1])));
    VariantClear(&slots[0]);
    VariantClear(&slots[1]);

    ASSERT_EQ(S_OK, clone->Next(1, slots, &fetched)) << "the clone goes on from where it was made";
    EXPECT_EQ(_stringx(L"Beta"), NameOf(V_DISPATCH(&slots[0])));
    VariantClear(&slots[0]);
    EXPECT_EQ(S_FALSE, clone->Skip(2));
    EXPECT_EQ(S_FALSE, clone->Next(1, slots, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, clone->Skip(2));
    ASSERT_EQ(S_OK, clone->Next(1, slots, &fetched));
    EXPECT_EQ(_stringx(L"Gamma"), NameOf(V_DISPATCH(&slots[0])));
    VariantClear(&slots[0]);

    ComPtr<IDialogCollection> none = MakeDialogCollection({});
    ASSERT_EQ(S_OK, none->get__NewEnum(unknown.Put()));
    ASSERT_EQ(S_OK, unknown.As(IID_IEnumVARIANT, walk));
    EXPECT_EQ(S_FALSE, walk->Next(2, slots, &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST_F(Collections, ItemsAnswerTheirInterfaceTable) {
    ExclusionEntry excluded;
    excluded.Language = 1033;
    ComPtr<ComObject<ExclusionItem>> exclusion;
    exclusion.Attach(ComObject<ExclusionItem>::Make(excluded));
    ComPtr<IExclusionItem> face;
    ComPtr<IDispatch> dispatch;
    ComPtr<ISupportErrorInfo> support;
    ComPtr<IUnknown> identity, identityFromFace;
    ASSERT_EQ(S_OK, exclusion->QueryInterface(IID_IExclusionItem, face.PutVoid()));
    ASSERT_EQ(S_OK, face.As(IID_IDispatch, dispatch));
    EXPECT_EQ(static_cast<IUnknown*>(face.Get()), static_cast<IUnknown*>(dispatch.Get()));
    ASSERT_EQ(S_OK, face.As(IID_ISupportErrorInfo, support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IExclusionItem));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDependencyItem));
    ASSERT_EQ(S_OK, support.As(IID_IUnknown, identity));
    ASSERT_EQ(S_OK, face.As(IID_IUnknown, identityFromFace));
    EXPECT_EQ(identity.Get(), identityFromFace.Get());

    EXPECT_EQ(S_OK, face->get_ModuleID(nullptr)) << "text getters accept a null out";
    unique_bstr text;
    ASSERT_EQ(S_OK, face->get_MinVersion(text.put()));
    ASSERT_NE(nullptr, text.get()) << "an empty text is an empty BSTR";
    ASSERT_EQ(S_OK, face->get_Language(text.put()));
    EXPECT_EQ(_stringx(L"1033"), _stringx(text.get()));

    ComPtr<ComObject<FileItem>> file;
    file.Attach(ComObject<FileItem>::Make(FileEntry{}));
    EXPECT_EQ(E_POINTER, file->get_FileSize(nullptr)) << "number getters need their out";
}

}  // namespace
