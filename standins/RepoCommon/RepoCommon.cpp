#include "idl/RepoCommon.h"

#include <msxml2.h>
#include <list>
#include <map>
#include <memory>
#include <new>
#include "base/FileStamp.h"
#include "base/Handles.h"

namespace {
// Missing from mingw's headers and libuuid.
const CLSID kDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
const CLSID kDomDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
const IID kXmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

bool SameName(const _stringx& a, const _stringx& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.length()), b.c_str(), static_cast<int>(b.length()),
                                TRUE) == CSTR_EQUAL;
}

_stringx FromAnsi(const char* text) {
    if (!text || !*text) return _stringx();
    int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (needed <= 1) return _stringx();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], needed);
    wide.resize(static_cast<size_t>(needed - 1));
    return wide;
}

using Snapshot = std::vector<std::unique_ptr<CRepository>>;

ComPtr<IXMLDOMDocument2> LoadDocument(const _stringx& path) {
    ComPtr<IXMLDOMDocument2> document;
    if (FAILED(CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kXmlDomDocument2, document.PutVoid())) &&
        FAILED(CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, kXmlDomDocument2, document.PutVoid())))
        return nullptr;
    document->put_async(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    {
        unique_bstr name(SysAllocString(L"SelectionLanguage"));
        unique_variant xpath;
        xpath.Get().vt = VT_BSTR;
        xpath.Get().bstrVal = SysAllocString(L"XPath");
        if (name && xpath.Get().bstrVal) document->setProperty(name.get(), xpath.Get());
    }
    unique_variant source;
    source.Get().vt = VT_BSTR;
    source.Get().bstrVal = SysAllocStringLen(path.c_str(), static_cast<UINT>(path.length()));
    if (!source.Get().bstrVal) throw std::bad_alloc();
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->load(source.Get(), &loaded)) || loaded != VARIANT_TRUE) return nullptr;
    return document;
}

using PropertyLists = std::vector<std::vector<CRepository::Property>>;

// The Repository elements under the root, each with its attributes in document order. Whatever
// cannot be read is left out: a missing or broken file gives no repositories.
PropertyLists ParseRepositories(const _stringx& path) {
    PropertyLists repositories;
    ComPtr<IXMLDOMDocument2> document = LoadDocument(path);
    if (!document) return repositories;
    unique_bstr query(SysAllocString(L"/Repositories/Repository"));
    if (!query) throw std::bad_alloc();
    ComPtr<IXMLDOMNodeList> nodes;
    long count = 0;
    if (FAILED(document->selectNodes(query.get(), nodes.Put())) || !nodes || FAILED(nodes->get_length(&count)))
        return repositories;
    for (long i = 0; i < count; ++i) {
        ComPtr<IXMLDOMNode> node;
        ComPtr<IXMLDOMNamedNodeMap> attributes;
        if (FAILED(nodes->get_item(i, node.Put())) || !node || FAILED(node->get_attributes(attributes.Put())) ||
            !attributes)
            continue;
        std::vector<CRepository::Property> properties;
        long attributeCount = 0;
        attributes->get_length(&attributeCount);
        for (long a = 0; a < attributeCount; ++a) {
            ComPtr<IXMLDOMNode> attribute;
            unique_bstr name, value;
            if (FAILED(attributes->get_item(a, attribute.Put())) || !attribute ||
                FAILED(attribute->get_nodeName(name.put())) || FAILED(attribute->get_text(value.put())))
                continue;
            properties.push_back({_stringx(SysStringLen(name.get()), name.get()),
                                  _stringx(SysStringLen(value.get()), value.get())});
        }
        repositories.push_back(std::move(properties));
    }
    return repositories;
}

// Parsed again only when the file changes: every catalog refresh asks for the repositories.
Snapshot ReadRepositories(const _stringx& path) {
    Snapshot repositories;
    if (path.empty()) return repositories;
    // Never destroyed: callers may run at process exit.
    static auto* kept = new KeptFromFile<PropertyLists>;
    auto lists = kept->Get(path.str(), [&] { return std::make_shared<const PropertyLists>(ParseRepositories(path)); });
    for (const auto& properties : *lists) repositories.push_back(std::make_unique<CRepository>(properties));
    return repositories;
}

bool Matches(const CRepository& repository, const _stringx& name) {
    for (const wchar_t* property : {L"Name", L"DisplayName"}) {
        _stringx value;
        if (repository.GetProperty(property, &value) == S_OK && SameName(value, name)) return true;
    }
    return false;
}
}  // namespace

// ---------------------------------------------------------------- CRepository

CRepository::CRepository(std::vector<Property> properties) : properties_(std::move(properties)) {}
CRepository::~CRepository() = default;

HRESULT CRepository::GetProperty(const _stringx& name, _stringx* value) const {
    if (!value) return E_POINTER;
    try {
        for (const Property& property : properties_) {
            if (SameName(property.name, name)) {
                *value = property.value;
                return S_OK;
            }
        }
        value->clear();
        return S_FALSE;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

size_t CRepository::PropertyCount() const { return properties_.size(); }

bool CRepository::GetPropertyAt(size_t index, _stringx* name, _stringx* value) const {
    if (index >= properties_.size()) return false;
    try {
        if (name) *name = properties_[index].name;
        if (value) *value = properties_[index].value;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---------------------------------------------------------------- CRepositories

CRepositories::CRepositories(std::vector<CRepository*> items) : items_(std::move(items)) {}
CRepositories::~CRepositories() = default;
size_t CRepositories::Count() const { return items_.size(); }
CRepository* CRepositories::At(size_t index) const { return index < items_.size() ? items_[index] : nullptr; }

// ---------------------------------------------------------------- CRepositoryMgr

struct CRepositoryMgr::State {
    _stringx path;
    bool read = false;
    // Every snapshot and list handed out lives as long as the manager; a reload starts new ones.
    std::list<Snapshot> snapshots;
    std::list<std::unique_ptr<CRepositories>> lists;
    std::map<_stringx, CRepositories*, NoCaseLess> current;  // lists of the newest snapshot, by name
};

CRepositoryMgr::CRepositoryMgr(const char* path, IRepoStatus*) : state_(new (std::nothrow) State) {
    if (!state_) return;
    try {
        state_->path = FromAnsi(path);
    } catch (const std::bad_alloc&) {
    }
}

CRepositoryMgr::~CRepositoryMgr() { delete state_; }

HRESULT CRepositoryMgr::GetRepositories(const char* name, CRepositories** out, bool reload) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!state_) return E_OUTOFMEMORY;
    try {
        if (!state_->read || reload) {
            state_->snapshots.push_back(ReadRepositories(state_->path));
            state_->current.clear();
            state_->read = true;
        }
        _stringx wanted = FromAnsi(name);
        auto known = state_->current.find(wanted);
        if (known != state_->current.end()) {
            *out = known->second;
            return S_OK;
        }
        std::vector<CRepository*> chosen;
        for (const auto& repository : state_->snapshots.back())
            if (wanted.empty() || Matches(*repository, wanted)) chosen.push_back(repository.get());
        state_->lists.push_back(std::make_unique<CRepositories>(std::move(chosen)));
        *out = state_->lists.back().get();
        state_->current[wanted] = *out;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
