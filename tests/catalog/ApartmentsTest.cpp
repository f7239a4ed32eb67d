// A catalog used from other threads: through a marshaled pointer, and re-entered by such a call while
// its own thread waits inside the server for another thread.
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <thread>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
#include "server/ApartmentWait.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::Props;

const wchar_t kMulti[] = L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D";
// Every wait of these tests ends by this bound, failing loudly: none can hang the run.
constexpr DWORD kBound = 60000;

ComPtr<IMMCatalog2> NewCatalog() {
    ComPtr<IMMCatalog2> catalog;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog2,
                                     catalog.PutVoid()));
    return catalog;
}

// What a caller learns of the catalog: the languages found by signature, the module count and a walk
// of the collection's enumerator, and a file search through the [in, out] module parameter.
_stringx Answers(IMMCatalog2* catalog) {
    _stringx text;
    for (const wchar_t* language : {L":0", L":1033", L":1031"}) {
        ComPtr<IDispatch> found;
        EXPECT_EQ(S_OK, catalog->FindModule((_stringx(kMulti) + language).AsBSTR(), 0, found.Put()));
        text += Props(found.Get(), {L"Language"}) + L" ";
    }
    ComPtr<IDispatch> modules;
    EXPECT_EQ(S_OK, catalog->GetModules(modules.Put()));
    ComPtr<IModuleCollection> typed;
    EXPECT_EQ(S_OK, modules.As(IID_IModuleCollection, typed));
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> items;
    if (typed && SUCCEEDED(typed->get__NewEnum(unknown.Put()))) unknown.As(IID_IEnumVARIANT, items);
    for (;;) {
        unique_variant item;
        if (!items || items->Next(1, &item.Get(), nullptr) != S_OK) break;
        text += Props(V_DISPATCH(&item.Get()), {L"EntryKey"}) + L" ";
    }
    ComPtr<IMergeModule2> module;
    VARIANT_BOOL found = VARIANT_FALSE;
    EXPECT_EQ(S_OK, catalog->FindModuleForFileEx(_stringx(L"[SystemFolder]shared.dll").AsBSTR(), nullptr,
                                                 _stringx(L"3.0.0.0").AsBSTR(), module.Put(), &found));
    EXPECT_EQ(S_OK, catalog->FindModuleForFileEx(_stringx(L"[SystemFolder]shared.dll").AsBSTR(), nullptr,
                                                 _stringx(L"3.0.0.0").AsBSTR(), module.Put(), &found))
        << "a module passed in is let go of through the proxy too";
    return text + (found ? Props(module.Get(), {L"Language"}) : _stringx(L"<not found>"));
}

// Runs `work` on a thread of its own apartment while this one keeps dispatching calls, for at most
// kBound: true when it ended in time.
bool OnThread(bool singleThreaded, std::function<void()> work) {
    auto finished = std::make_shared<unique_handle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread thread([=] {
        CoInitializeEx(nullptr, singleThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
        work();
        CoUninitialize();
        SetEvent(finished->get());
    });
    HANDLE handle = finished->get();
    DWORD index = 0;
    bool ended = SUCCEEDED(CoWaitForMultipleHandles(0, kBound, 1, &handle, &index));
    if (!ended) ADD_FAILURE() << "the other thread did not end in time";
    ended ? thread.join() : thread.detach();
    return ended;
}

// The catalog's own pointer for another apartment.
ComPtr<IStream> Marshal(IMMCatalog2* catalog) {
    ComPtr<IStream> stream;
    EXPECT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IMMCatalog2, catalog, stream.Put()));
    return stream;
}

ComPtr<IMMCatalog2> Unmarshal(ComPtr<IStream>& stream) {
    ComPtr<IMMCatalog2> proxy;
    EXPECT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream.Detach(), IID_IMMCatalog2, proxy.PutVoid()));
    return proxy;
}

_stringx Shelve(cvtest::TestEnvironment& env) {
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    for (const wchar_t* fixture : {L"multi-1033.msm", L"multi-1031.msm", L"full.msm"}) env.CopyFixture(fixture, shelf);
    env.SetSearchPath({shelf});
    env.SetActiveProjectType(0);
    return shelf;
}

using Apartments = cvtest::ComTest;

TEST_F(Apartments, AMarshaledCatalogAnswersAsItDoesAtHome) {
    cvtest::TestEnvironment env(L"apartments-marshaled");
    Shelve(env);
    ComPtr<IMMCatalog2> catalog = NewCatalog();
    _stringx home = Answers(catalog.Get());
    EXPECT_NE(_stringx::npos, home.find(L"#1033")) << home.AsNarrow();
    for (bool singleThreaded : {true, false}) {
        ComPtr<IStream> stream = Marshal(catalog.Get());
        _stringx away;
        OnThread(singleThreaded, [&] {
            ComPtr<IMMCatalog2> proxy = Unmarshal(stream);
            if (proxy) away = Answers(proxy.Get());
        });
        EXPECT_EQ(home, away) << (singleThreaded ? "from a single-threaded apartment" : "from the multithreaded one");
    }
}

// A thread that waits for another thread's read keeps serving its catalog: a call from another
// apartment runs during the wait and sees the catalog whole. A thread that owes a read others wait
// for does not: the call waits until its wait is over.
TEST_F(Apartments, ACallEntersDuringAWaitOnlyWhenTheThreadOwesNothing) {
    cvtest::TestEnvironment env(L"apartments-reentry");
    Shelve(env);
    ComPtr<IMMCatalog2> catalog = NewCatalog();
    _stringx home = Answers(catalog.Get());
    for (bool owes : {false, true}) {
        DoneOnce read;  // another thread's read, under way until the call from outside has run
        unique_handle waiting(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        unique_handle answered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ComPtr<IStream> stream = Marshal(catalog.Get());
        _stringx away;
        SetDispatchingWaitObserver([&] { SetEvent(waiting.get()); });
        std::thread reader([&] {
            EXPECT_TRUE(read.Claim());
            // Owing, this thread is not seen to wait: the read ends after a while on its own.
            WaitForSingleObject(owes ? answered.get() : waiting.get(), owes ? 500 : kBound);
            if (!owes) WaitForSingleObject(answered.get(), kBound);
            read.Finish();
        });
        std::thread caller([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                ComPtr<IMMCatalog2> proxy = Unmarshal(stream);
                if (proxy) away = Answers(proxy.Get());
            }
            SetEvent(answered.get());
            CoUninitialize();
        });
        {
            std::unique_ptr<OwedWork> owed(owes ? new OwedWork : nullptr);
            read.Wait();
        }
        bool answeredDuringTheWait = WaitForSingleObject(answered.get(), 0) == WAIT_OBJECT_0;
        EXPECT_EQ(!owes, answeredDuringTheWait);
        SetDispatchingWaitObserver(nullptr);
        HANDLE done = answered.get();
        DWORD index = 0;
        EXPECT_EQ(S_OK, CoWaitForMultipleHandles(0, kBound, 1, &done, &index)) << "the call was served after the wait";
        caller.join();
        reader.join();
        EXPECT_EQ(home, away) << (owes ? "after the wait" : "during the wait");
    }
}

}  // namespace
