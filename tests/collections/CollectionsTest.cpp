// Collections, enumerators and items as a caller holds them: lookups by every kind of index, module
// keys, enumeration rules and the outs of item getters.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include "model/Collections.h"
#include "model/Items.h"
#include "base/Handles.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/TestSupport.h"

namespace {

_stringx NameOf(IDispatch* item) { return item ? cvtest::Props(item, {L"Name"}) : _stringx(L"<none>"); }

VARIANT Index(VARTYPE type, LONG value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    VariantChangeType(&v, &v, 0, type);  // also to VT_R8 and VT_BSTR (leaked: the test is short)
    return v;
}

ComPtr<IEnumVARIANT> Enumerate(IDialogCollection* collection) {
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> walk;
    EXPECT_EQ(S_OK, collection->get__NewEnum(unknown.Put()));
    EXPECT_EQ(S_OK, unknown.As(IID_IEnumVARIANT, walk));
    return walk;
}

// The name of the next element, "<end>" when there is none.
_stringx NextName(IEnumVARIANT* walk) {
    VARIANT slot;
    ULONG fetched = 99;
    if (walk->Next(1, &slot, &fetched) != S_OK) return fetched == 0 ? L"<end>" : L"<fetched not 0>";
    _stringx name = NameOf(V_DISPATCH(&slot));
    VariantClear(&slot);
    return name;
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
    const struct {
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
    for (const auto& c : cases) {
        ComPtr<IDispatch> item;
        EXPECT_EQ(c.found ? S_OK : E_INVALIDARG, dialogs->get_Item(c.index, item.Put())) << c.what;
        EXPECT_EQ(_stringx(c.found ? c.found : L"<none>"), NameOf(item.Get())) << c.what;
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
    // A script's loop variable arrives by reference: still a position, not the key "2".
    LONG two = 2;
    VARIANT refToTwo;
    V_VT(&refToTwo) = VT_BYREF | VT_I4;
    V_I4REF(&refToTwo) = &two;
    EXPECT_EQ(S_OK, modules->get_Item(refToTwo, found.Put()));
    EXPECT_EQ(_stringx(L"Second"), NameOf(found.Get()));

    // Removing moves the later elements down, and their index entries with them.
    EXPECT_EQ(E_INVALIDARG, modules->RemoveAt(2));
    EXPECT_EQ(S_OK, modules->RemoveAt(0));
    EXPECT_EQ(0u, modules->FindKey(L"mod.b:0"));
    EXPECT_EQ(CollectionStore::npos, modules->FindKey(L"Mod.A:1033"));

}

TEST_F(Collections, EnumeratorNextSkipResetClone) {
    // Made from a collection that nobody else holds: the enumerator keeps it alive.
    ComPtr<IEnumVARIANT> walk = Enumerate(MakeDialogCollection({L"Alpha", L"Beta", L"Gamma"}).Get()), clone;
    VARIANT slots[3];
    ULONG fetched = 99;
    EXPECT_EQ(E_POINTER, walk->Next(1, nullptr, &fetched));
    EXPECT_EQ(E_POINTER, walk->Next(2, slots, nullptr));
    ASSERT_EQ(S_OK, walk->Next(1, slots, nullptr)) << "one at a time needs no fetched count";
    VariantClear(&slots[0]);

    ASSERT_EQ(S_OK, walk->Clone(clone.Put()));
    EXPECT_EQ(S_FALSE, walk->Next(3, slots, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(_stringx(L"Gamma"), NameOf(V_DISPATCH(&slots[1])));
    VariantClear(&slots[0]);
    VariantClear(&slots[1]);

    EXPECT_EQ(_stringx(L"Beta"), NextName(clone.Get())) << "the clone goes on from where it was made";
    EXPECT_EQ(S_FALSE, clone->Skip(2));
    EXPECT_EQ(_stringx(L"<end>"), NextName(clone.Get()));
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, clone->Skip(2));
    EXPECT_EQ(_stringx(L"Gamma"), NextName(clone.Get()));
    EXPECT_EQ(_stringx(L"<end>"), NextName(Enumerate(MakeDialogCollection({}).Get()).Get()));
}

// Many elements at once, as a catalog fills its collection, land exactly as the same elements added
// one by one: keys in any letter case, repeated keys, keys the store holds already, any order.
TEST_F(Collections, AddingAllAtOnceEqualsAddingEachInTurn) {
    std::vector<_stringx> names;
    for (int i = 0; i < 32; ++i) names.push_back(_stringx::Formatted(L"item %d", i));
    ComPtr<IDialogCollection> source = MakeDialogCollection(names);
    std::vector<ComPtr<IDispatch>> items(names.size());
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
        ASSERT_EQ(S_OK, source->get_Item(Index(VT_I4, i + 1), items[i].Put()));
    const _stringx pool[] = {L"Mod.A:1033", L"mod.a:1033", L"MOD.A:1033", L"Mod.B:0",    L"mod.b:0", L"Zed:1",
                             L"zED:1",      L"Alpha:2",    L"alpha:2",    L"Mid:3",      L"Mod.A:1031", L"\u00c9t\u00e9:1",
                             L"\u00e9T\u00c9:1", L"Mod.A:10330", L"",       L"a"};
    unsigned seed = 12345;
    auto next = [&](unsigned bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (int round = 0; round < 300; ++round) {
        auto oneByOne = MakeCollection<ModuleCollection>(), atOnce = MakeCollection<ModuleCollection>();
        for (unsigned n = next(5); n > 0; --n) {
            const _stringx& key = pool[next(ARRAYSIZE(pool))];
            IDispatch* item = items[next(static_cast<unsigned>(items.size()))].Get();
            oneByOne->Add(key, item);
            atOnce->Add(key, item);
        }
        CollectionElements arrivals;
        for (unsigned n = next(24); n > 0; --n) {
            const _stringx& key = pool[next(ARRAYSIZE(pool))];
            arrivals.push_back(CollectionElement{key, items[next(static_cast<unsigned>(items.size()))]});
        }
        // Every other round in key order, as a catalog's modules mostly come: equal keys stay together
        // in the order they arrived.
        if (round % 2)
            std::stable_sort(arrivals.begin(), arrivals.end(),
                             [](const CollectionElement& a, const CollectionElement& b) { return NoCaseLess()(a.key, b.key); });
        for (const CollectionElement& arrival : arrivals) oneByOne->Add(arrival.key, arrival.item.Get());
        atOnce->AddAll(std::move(arrivals));
        ASSERT_EQ(oneByOne->Size(), atOnce->Size()) << "round " << round;
        for (size_t i = 0; i < oneByOne->Size(); ++i) {
            EXPECT_EQ(oneByOne->Elements()[i].key, atOnce->Elements()[i].key) << "round " << round << ", element " << i;
            EXPECT_EQ(oneByOne->Elements()[i].item.Get(), atOnce->Elements()[i].item.Get()) << "round " << round;
        }
        for (const _stringx& key : pool) EXPECT_EQ(oneByOne->FindKey(key), atOnce->FindKey(key)) << "round " << round;
        if (HasFailure()) break;
    }
}

TEST_F(Collections, ItemGettersAndTheirOuts) {
    ComPtr<IExclusionItem> exclusion;
    ComPtr<IFileItem> file;
    exclusion.Attach(ComObject<ExclusionItem>::Make(ExclusionEntry{}));
    file.Attach(ComObject<FileItem>::Make(FileEntry{}));
    EXPECT_EQ(S_OK, exclusion->get_ModuleID(nullptr)) << "text getters accept a null out";
    EXPECT_EQ(E_POINTER, file->get_FileSize(nullptr)) << "number getters need their out";
}

}  // namespace
