// The repository library: the repositories that Repositories.xml describes, each with its
// properties (the attributes of its element, in document order). Linked by import.
//
//   <Repositories>
//     <Repository MMSearchPath="Z:\modules\shared" DisplayName="Shared modules"/>
//   </Repositories>
#pragma once
#include <windows.h>
#include <cstddef>
#include <vector>
#include "base/stringx.h"

#ifdef REPOCOMMON_BUILD
#define REPOCOMMON_API __declspec(dllexport)
#else
#define REPOCOMMON_API __declspec(dllimport)
#endif

class IRepoStatus;  // the environment's progress sink; accepted and never called

class REPOCOMMON_API CRepository {
public:
    struct Property {
        _stringx name;
        _stringx value;
    };

    explicit CRepository(std::vector<Property> properties);
    ~CRepository();
    CRepository(const CRepository&) = delete;
    CRepository& operator=(const CRepository&) = delete;

    // The value of the first property of that name (any case): S_OK; S_FALSE and the empty text when
    // there is none; E_POINTER without a value.
    HRESULT GetProperty(const _stringx& name, _stringx* value) const;
    size_t PropertyCount() const;
    // The property at that position, in document order; false past the end.
    bool GetPropertyAt(size_t index, _stringx* name, _stringx* value) const;

private:
    std::vector<Property> properties_;
};

// A list of repositories in document order; owned by the manager that handed it out.
class REPOCOMMON_API CRepositories {
public:
    explicit CRepositories(std::vector<CRepository*> items);
    ~CRepositories();
    CRepositories(const CRepositories&) = delete;
    CRepositories& operator=(const CRepositories&) = delete;

    size_t Count() const;
    CRepository* At(size_t index) const;  // null past the end

private:
    std::vector<CRepository*> items_;
};

class REPOCOMMON_API CRepositoryMgr {
public:
    // path: the full path of Repositories.xml in the ANSI code page. The file is read on the first
    // GetRepositories; a missing or unreadable file is an empty list. COM must be initialised.
    CRepositoryMgr(const char* path, IRepoStatus* status);
    ~CRepositoryMgr();
    CRepositoryMgr(const CRepositoryMgr&) = delete;
    CRepositoryMgr& operator=(const CRepositoryMgr&) = delete;

    // The repositories whose "Name" or "DisplayName" is name (any case); all of them for a null or
    // empty name. reload reads the file again. Every list stays valid until the manager is destroyed.
    // S_OK, E_POINTER without out, E_OUTOFMEMORY.
    HRESULT GetRepositories(const char* name, CRepositories** out, bool reload);

private:
    struct State;
    State* state_;
};
