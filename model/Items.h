// The read-only objects that module lists hand out, and the functions that make a filled collection
// of them from a catalog entry's list. Items copy their values when made: a later change to the
// entry does not show in an item that exists.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <vector>
#include "cvmmupdater.h"
#include "model/Collections.h"
#include "model/GalleryEntry.h"
#include "model/ModuleRecords.h"
#include "base/stringx.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "server/ServerModule.h"

// Getters of item properties. A text getter given a null out pointer writes nothing and succeeds;
// otherwise it hands out a new BSTR (an empty text gives an empty BSTR, never null, unless memory
// runs out). A number getter needs its out pointer.
HRESULT CopyTextOut(std::wstring_view text, BSTR* out);
HRESULT CopyNumberOut(LONG value, LONG* out);

// Two faces: ISupportErrorInfo first (also the object's identity), then the item's dual interface,
// which answers for the item IID and IDispatch.
template <typename Interface, const IID* Iid>
class ItemObject : public ComObjectRoot,
                   public ISupportErrorInfo,
                   public DispatchImpl<Interface, Iid, GetServerTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid) {
        if (iid == IID_IUnknown || iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        if (iid == *Iid || iid == IID_IDispatch) return static_cast<Interface*>(this);
        return nullptr;
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override { return iid == *Iid ? S_OK : S_FALSE; }
};

// A dialog's or a custom action's name: the same shape behind two interfaces.
template <typename Interface, const IID* Iid>
class NameItem : public ItemObject<Interface, Iid> {
public:
    explicit NameItem(const _stringx& name) : name_(name) {}
    STDMETHODIMP get_Name(BSTR* value) override { return CopyTextOut(name_, value); }

private:
    _stringx name_;
};
using DialogItem = NameItem<IDialogItem, &IID_IDialogItem>;
using CustomActionItem = NameItem<ICustomActionItem, &IID_ICustomActionItem>;

struct DownloadFileValues {
    _stringx Location;
    _stringx MediaLocation;
    _stringx InternetLocation;
    LONG FileSize = 0;
    _stringx CheckSum;
};

class DownloadFileItem : public ItemObject<IDownloadFileItem, &IID_IDownloadFileItem> {
public:
    explicit DownloadFileItem(const DownloadFileValues& values) : values_(values) {}
    STDMETHODIMP get_Location(BSTR* value) override;
    STDMETHODIMP get_MediaLocation(BSTR* value) override;
    STDMETHODIMP get_InternetLocation(BSTR* value) override;
    STDMETHODIMP get_FileSize(LONG* value) override;
    STDMETHODIMP get_CheckSum(BSTR* value) override;

private:
    DownloadFileValues values_;
};

class DependencyItem : public ItemObject<IDependencyItem, &IID_IDependencyItem> {
public:
    explicit DependencyItem(const DependencyEntry& entry) : entry_(entry) {}
    STDMETHODIMP get_Key(BSTR* value) override;
    STDMETHODIMP get_ModuleID(BSTR* value) override;
    STDMETHODIMP get_Version(BSTR* value) override;
    STDMETHODIMP get_Language(LONG* value) override;

private:
    DependencyEntry entry_;
};

class ExclusionItem : public ItemObject<IExclusionItem, &IID_IExclusionItem> {
public:
    explicit ExclusionItem(const ExclusionEntry& entry) : entry_(entry) {}
    STDMETHODIMP get_Key(BSTR* value) override;
    STDMETHODIMP get_ModuleID(BSTR* value) override;
    STDMETHODIMP get_MinVersion(BSTR* value) override;
    STDMETHODIMP get_MaxVersion(BSTR* value) override;
    // The excluded language as decimal text (a dependency gives its language as a number).
    STDMETHODIMP get_Language(BSTR* value) override;

private:
    ExclusionEntry entry_;
};

class FileItem : public ItemObject<IFileItem, &IID_IFileItem> {
public:
    explicit FileItem(const FileEntry& entry);
    STDMETHODIMP get_Directory(BSTR* value) override;
    STDMETHODIMP get_FileKey(BSTR* value) override;
    STDMETHODIMP get_FileSize(LONG* value) override;
    STDMETHODIMP get_FileName(BSTR* value) override;  // as stored: maybe "short|long"
    STDMETHODIMP get_Version(BSTR* value) override;
    STDMETHODIMP get_Language(BSTR* value) override;
    STDMETHODIMP get_Sequence(LONG* value) override;

private:
    FileEntry entry_;
};

// Collections of a module's lists, keyed "1", "2", ... in list order (the maps in key order),
// handed out as their collection interface. They throw what making them raises.
ComPtr<IDialogCollection> MakeDialogCollection(const std::vector<_stringx>& names);
ComPtr<ICustomActionCollection> MakeCustomActionCollection(const std::vector<_stringx>& names);
ComPtr<IDependencyCollection> MakeDependencyCollection(const DependencyMap& dependencies);
ComPtr<IExclusionCollection> MakeExclusionCollection(const ExclusionMap& exclusions);
ComPtr<IFileCollection> MakeFileCollection(const FileList& files);
// Reads the download files of the gallery description file afresh, in index order.
ComPtr<IDownloadFileCollection> MakeDownloadFileCollection(GalleryEntry& gallery);
