#include "msi/ReaderWire.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {
// Appends each field. Fields are little-endian words and UTF-16 texts with their length.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void Field(uint32_t value) { out_.append(reinterpret_cast<const char*>(&value), sizeof value); }
    void Field(LONG value) { Field(static_cast<uint32_t>(value)); }
    void Field(bool value) { Field(static_cast<uint32_t>(value)); }
    void Field(const _stringx& text) {
        Field(static_cast<uint32_t>(text.length()));
        out_.append(reinterpret_cast<const char*>(text.c_str()), text.length() * sizeof(wchar_t));
    }
    void Field(const GUID& guid) { out_.append(reinterpret_cast<const char*>(&guid), sizeof guid); }
    void Text(const FileEntry& file, FileEntry::Text which) {
        std::wstring_view text = file.TextOf(which);
        Field(static_cast<uint32_t>(text.size()));
        out_.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    void ShareTexts(const std::vector<FileEntry>&) {}
    template <typename Item, typename Each>
    void List(const std::vector<Item>& items, Each&& each) {
        Field(static_cast<uint32_t>(items.size()));
        for (const Item& item : items) each(item);
    }
    template <typename Key, typename Value, typename Each>
    void Map(const std::map<Key, Value>& items, Each&& each) {
        Field(static_cast<uint32_t>(items.size()));
        for (const auto& item : items) {
            Field(item.first);
            each(item.second);
        }
    }
    // Thousands of files share a few folders: each folder's key is sent once, and each file
    // refers to it by number.
    void Folders(const std::vector<FileEntry>& files) {
        for (const FileEntry& f : files) folders_.push_back(&f.Directory());
        auto before = [](const _stringx* a, const _stringx* b) { return *a < *b; };
        auto same = [](const _stringx* a, const _stringx* b) { return *a == *b; };
        std::sort(folders_.begin(), folders_.end(), before);
        folders_.erase(std::unique(folders_.begin(), folders_.end(), same), folders_.end());
        Field(static_cast<uint32_t>(folders_.size()));
        for (const _stringx* folder : folders_) Field(*folder);
    }
    void FolderOf(const FileEntry& file) {
        auto folder = std::lower_bound(folders_.begin(), folders_.end(), &file.Directory(),
                                       [](const _stringx* a, const _stringx* b) { return *a < *b; });
        Field(static_cast<uint32_t>(folder - folders_.begin()));
    }
private:
    std::string& out_;
    std::vector<const _stringx*> folders_;
};

// Takes each field back, refusing (ok() false) anything that runs past the end or asks for more
// than the rest could hold.
class Reader {
public:
    static constexpr uint32_t kReservedItems = 4096;

    explicit Reader(std::string_view in) : in_(in) {}
    // Where `in` lies whole and aligned in `held`, the file records hold that block and point into
    // it instead of copying their texts.
    Reader(std::string_view in, std::shared_ptr<const char> held, size_t heldLength)
        : in_(in), texts_(std::move(held), heldLength) {
        if (!texts_.HoldsBytes(in.data(), in.size())) texts_ = FileTexts();
    }
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == in_.size(); }
    void Field(uint32_t& value) { Raw(&value, sizeof value); }
    void Field(LONG& value) {
        uint32_t word = 0;
        Field(word);
        value = static_cast<LONG>(word);
    }
    void Field(bool& value) {
        uint32_t word = 0;
        Field(word);
        value = word != 0;
    }
    void Field(_stringx& text) {
        uint32_t length = 0;
        Field(length);
        if (!ok_ || length > (in_.size() - at_) / sizeof(wchar_t)) {
            ok_ = false;
            return;
        }
        std::wstring wide(length, L'\0');
        Raw(wide.data(), length * sizeof(wchar_t));
        text = std::move(wide);
    }
    void Field(GUID& guid) { Raw(&guid, sizeof guid); }
    // Into the block the list's records share: no text of the rest can be longer than the rest.
    void Text(FileEntry& file, FileEntry::Text which) {
        uint32_t length = 0;
        Field(length);
        if (!ok_ || length > (in_.size() - at_) / sizeof(wchar_t)) {
            ok_ = false;
            return;
        }
        if (!reservedTexts_ && !texts_.Holds()) {
            texts_.Reserve((in_.size() - at_) / sizeof(wchar_t));
            reservedTexts_ = true;
        }
        if (!texts_.Take(file, which, in_.data() + at_, length)) ok_ = false;
        else at_ += length * sizeof(wchar_t);
    }
    void ShareTexts(std::vector<FileEntry>& files) {
        texts_.Share(files.data() + filesFrom_, files.data() + files.size());
    }
    // Reserved up to a bound, and only for a count the rest of the reply could hold: a garbled count
    // must not ask for more memory than a few thousand items take.
    template <typename Item, typename Each>
    void List(std::vector<Item>& items, Each&& each) {
        const uint32_t count = Count();
        items.reserve(items.size() + std::min<uint32_t>(count, kReservedItems));
        for (uint32_t n = count; n > 0 && ok_; --n) {
            items.emplace_back();
            each(items.back());
        }
    }
    template <typename Key, typename Value, typename Each>
    void Map(std::map<Key, Value>& items, Each&& each) {
        for (uint32_t n = Count(); n > 0 && ok_; --n) {
            Key key;
            Field(key);
            each(items[key]);
        }
    }
    void Folders(const std::vector<FileEntry>& files) {
        filesFrom_ = files.size();
        for (uint32_t n = Count(); n > 0 && ok_; --n) {
            _stringx folder;
            Field(folder);
            folders_.push_back(folder.empty() ? nullptr : std::make_shared<const _stringx>(std::move(folder)));
        }
    }
    // The records of a folder share its text.
    void FolderOf(FileEntry& file) {
        uint32_t folder = 0;
        Field(folder);
        if (folder < folders_.size()) file.SetDirectory(folders_[folder]);
        else ok_ = false;
    }

private:
    // A count of items that each take at least one word: more than the rest could hold is damage.
    uint32_t Count() {
        uint32_t count = 0;
        Field(count);
        if (count > (in_.size() - at_) / sizeof(uint32_t)) ok_ = false;
        return ok_ ? count : 0;
    }
    void Raw(void* to, size_t size) {
        if (!ok_ || size > in_.size() - at_) {
            ok_ = false;
            return;
        }
        memcpy(to, in_.data() + at_, size);
        at_ += size;
    }

    std::string_view in_;
    size_t at_ = 0;
    bool ok_ = true;
    std::vector<std::shared_ptr<const _stringx>> folders_;
    FileTexts texts_;
    bool reservedTexts_ = false;
    size_t filesFrom_ = 0;
};

// One description of each record, for both directions: `Record` is const when encoding.
template <typename Wire, typename Record>
void Failure(Wire& w, Record& failure) {
    w.Field(failure.Error);
    w.Field(failure.InterfaceGuid);
    w.Field(failure.Description);
}

template <typename Wire, typename Result>
void ResultFields(Wire& w, Result& result) {
    w.Field(result.Path);
    w.Field(result.Unsafe);
    w.Field(result.InstallerFailed);
    w.Field(result.InUse);
    Failure(w, result.Failure);
    auto& h = result.Header;
    w.Field(h.ModuleId);
    w.Field(h.Language);
    for (auto* text : {&h.Version, &h.Author, &h.Comments, &h.RevisionNumber, &h.Subject}) w.Field(*text);
    w.List(result.Names, [&](auto& name) { w.Field(name); });
    w.List(result.Dependencies, [&](auto& d) {
        for (auto* text : {&d.ModuleId, &d.Key, &d.Version}) w.Field(*text);
        w.Field(d.Language);
    });
    w.List(result.Exclusions, [&](auto& e) {
        for (auto* text : {&e.ModuleId, &e.Key, &e.MinVersion, &e.MaxVersion}) w.Field(*text);
        w.Field(e.Language);
    });
    w.Folders(result.Files);
    w.List(result.Files, [&](auto& f) {
        for (auto which : {FileEntry::kStoredName, FileEntry::kVersion, FileEntry::kLanguage, FileEntry::kFileKey})
            w.Text(f, which);
        w.FolderOf(f);
        w.Field(f.FileSize);
        w.Field(f.Sequence);
    });
    w.ShareTexts(result.Files);
    w.Map(result.Directories, [&](auto& answer) {
        w.Field(answer.Status);
        w.Field(answer.Path);
        Failure(w, answer.Failure);
    });
}
}  // namespace

FrameState PeekFrame(const std::string& buffer, uint32_t limit, uint32_t& length) {
    if (buffer.size() < kFrameHeader) return FrameState::Incomplete;
    memcpy(&length, buffer.data(), sizeof length);
    if (length > limit) return FrameState::TooLarge;
    return buffer.size() - kFrameHeader >= length ? FrameState::Complete : FrameState::Incomplete;
}

void TakeFrame(std::string& buffer, uint32_t length, std::string& payload) {
    payload.assign(buffer, kFrameHeader, length);
    buffer.erase(0, kFrameHeader + length);
}

void EncodeRequest(ModuleRead what, const _stringx& path, const _stringx& argument, std::string& out) {
    Writer w(out);
    w.Field(static_cast<uint32_t>(what));
    w.Field(path);
    w.Field(argument);
}

bool DecodeRequest(const std::string& in, ModuleRead& what, _stringx& path, _stringx& argument) {
    Reader r(in);
    uint32_t kind = 0;
    r.Field(kind);
    r.Field(path);
    r.Field(argument);
    what = static_cast<ModuleRead>(kind);
    return r.ok() && r.AtEnd() && kind >= static_cast<uint32_t>(ModuleRead::Header) &&
           kind <= static_cast<uint32_t>(ModuleRead::Directory);
}

void EncodeResult(const ModuleReadResult& result, std::string& out) {
    Writer w(out);
    ResultFields(w, result);
}

bool DecodeResult(std::string_view in, ModuleReadResult& result) {
    Reader r(in);
    ResultFields(r, result);
    return r.ok() && r.AtEnd();
}

bool DecodeResult(std::string_view in, ModuleReadResult& result, std::shared_ptr<const char> held, size_t heldLength) {
    Reader r(in, std::move(held), heldLength);
    ResultFields(r, result);
    return r.ok() && r.AtEnd();
}
