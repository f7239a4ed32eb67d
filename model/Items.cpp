#include "model/Items.h"

#include <new>
#include "server/ComException.h"
#include "base/Handles.h"

HRESULT CopyTextOut(std::wstring_view text, BSTR* out) {
    if (!out) return S_OK;
    // Out of memory hands out null: the getters of an item do not fail.
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return S_OK;
}

HRESULT CopyNumberOut(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

STDMETHODIMP DownloadFileItem::get_Location(BSTR* value) { return CopyTextOut(values_.Location, value); }
STDMETHODIMP DownloadFileItem::get_MediaLocation(BSTR* value) { return CopyTextOut(values_.MediaLocation, value); }
STDMETHODIMP DownloadFileItem::get_InternetLocation(BSTR* value) { return CopyTextOut(values_.InternetLocation, value); }
STDMETHODIMP DownloadFileItem::get_FileSize(LONG* value) { return CopyNumberOut(values_.FileSize, value); }
STDMETHODIMP DownloadFileItem::get_CheckSum(BSTR* value) { return CopyTextOut(values_.CheckSum, value); }

STDMETHODIMP DependencyItem::get_Key(BSTR* value) { return CopyTextOut(entry_.Key, value); }
STDMETHODIMP DependencyItem::get_ModuleID(BSTR* value) { return CopyTextOut(entry_.ModuleId, value); }
STDMETHODIMP DependencyItem::get_Version(BSTR* value) { return CopyTextOut(entry_.Version, value); }
STDMETHODIMP DependencyItem::get_Language(LONG* value) { return CopyNumberOut(entry_.Language, value); }

STDMETHODIMP ExclusionItem::get_Key(BSTR* value) { return CopyTextOut(entry_.Key, value); }
STDMETHODIMP ExclusionItem::get_ModuleID(BSTR* value) { return CopyTextOut(entry_.ModuleId, value); }
STDMETHODIMP ExclusionItem::get_MinVersion(BSTR* value) { return CopyTextOut(entry_.MinVersion, value); }
STDMETHODIMP ExclusionItem::get_MaxVersion(BSTR* value) { return CopyTextOut(entry_.MaxVersion, value); }
STDMETHODIMP ExclusionItem::get_Language(BSTR* value) {
    return CopyTextOut(_stringx::Formatted(L"%d", static_cast<int>(entry_.Language)), value);
}

FileItem::FileItem(const FileEntry& entry) : entry_(entry) {}
STDMETHODIMP FileItem::get_Directory(BSTR* value) { return CopyTextOut(entry_.Directory(), value); }
STDMETHODIMP FileItem::get_FileKey(BSTR* value) { return CopyTextOut(entry_.FileKey(), value); }
STDMETHODIMP FileItem::get_FileSize(LONG* value) { return CopyNumberOut(entry_.FileSize, value); }
STDMETHODIMP FileItem::get_FileName(BSTR* value) { return CopyTextOut(entry_.StoredName(), value); }
STDMETHODIMP FileItem::get_Version(BSTR* value) { return CopyTextOut(entry_.Version(), value); }
STDMETHODIMP FileItem::get_Language(BSTR* value) { return CopyTextOut(entry_.Language(), value); }
STDMETHODIMP FileItem::get_Sequence(LONG* value) { return CopyNumberOut(entry_.Sequence, value); }

namespace {
// Adds one new item under the text of the collection's next position.
template <typename Item, typename Collection, typename Value>
void AddItem(Collection& collection, const Value& value) {
    ComPtr<ComObject<Item>> item;
    item.Attach(ComObject<Item>::Make(value));
    ComPtr<IDispatch> face;
    CheckResult(item->QueryInterface(IID_IDispatch, face.PutVoid()));
    collection.Add(_stringx::Formatted(L"%d", static_cast<int>(collection.Size() + 1)), face.Get());
}

template <typename Collection>
ComPtr<typename Collection::Interface> HandOut(ComObject<Collection>& collection) {
    ComPtr<typename Collection::Interface> face;
    CheckResult(collection.QueryInterface(*Collection::kIid, face.PutVoid()));
    return face;
}

template <typename Collection, typename Item, typename Records>
ComPtr<typename Collection::Interface> MakeFromList(const Records& records) {
    auto collection = MakeCollection<Collection>();
    for (const auto& record : records) AddItem<Item>(*collection.Get(), record);
    return HandOut(*collection.Get());
}

// The record maps: items in key order.
template <typename Collection, typename Item, typename Map>
ComPtr<typename Collection::Interface> MakeFromMap(const Map& records) {
    auto collection = MakeCollection<Collection>();
    for (const auto& record : records) AddItem<Item>(*collection.Get(), record.second);
    return HandOut(*collection.Get());
}
}  // namespace

ComPtr<IDialogCollection> MakeDialogCollection(const std::vector<_stringx>& names) {
    return MakeFromList<DialogCollection, DialogItem>(names);
}

ComPtr<ICustomActionCollection> MakeCustomActionCollection(const std::vector<_stringx>& names) {
    return MakeFromList<CustomActionCollection, CustomActionItem>(names);
}

ComPtr<IDependencyCollection> MakeDependencyCollection(const DependencyMap& dependencies) {
    return MakeFromMap<DependencyCollection, DependencyItem>(dependencies);
}

ComPtr<IExclusionCollection> MakeExclusionCollection(const ExclusionMap& exclusions) {
    return MakeFromMap<ExclusionCollection, ExclusionItem>(exclusions);
}

ComPtr<IFileCollection> MakeFileCollection(const FileList& files) {
    auto collection = MakeCollection<FileCollection>();
    for (const FileEntry& record : files) AddItem<FileItem>(*collection.Get(), record);
    return HandOut(*collection.Get());
}

ComPtr<IDownloadFileCollection> MakeDownloadFileCollection(GalleryEntry& gallery) {
    auto collection = MakeCollection<DownloadFileCollection>();
    LONG count = gallery.GetDownloadFileCount();
    for (LONG i = 0; i < count; ++i) {
        unique_bstr location, mediaLocation, internetLocation, checkSum;
        DownloadFileValues values;
        gallery.GetDownloadFile(i, location.put(), mediaLocation.put(), internetLocation.put(), &values.FileSize,
                                checkSum.put());
        values.Location = location.get();
        values.MediaLocation = mediaLocation.get();
        values.InternetLocation = internetLocation.get();
        values.CheckSum = checkSum.get();
        AddItem<DownloadFileItem>(*collection.Get(), values);
    }
    return HandOut(*collection.Get());
}
