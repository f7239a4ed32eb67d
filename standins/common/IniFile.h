// An INI file as the environment's components read and write it: sections in brackets, lines of
// key, "=" and value, comment lines starting with ";". Names are found without regard to case;
// values are exactly what follows the "=" up to the line ending.
//
// The file's own bytes are kept, so that changing one value rewrites that value and nothing else:
// line endings, comments, blank lines, the byte-order mark and other sections stay as they were.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "base/stringx.h"

class IniFile {
public:
    enum class Encoding { Utf8, Utf8Bom, Ansi, Utf16Le, Utf16Be };

    struct Key {
        _stringx name;
        _stringx value;
    };
    struct Section {
        _stringx name;
        std::vector<Key> keys;
    };

    // Reads the file. A failure HRESULT when it cannot be read; the content is then unchanged.
    HRESULT Load(const _stringx& path);
    // Takes the bytes of a file: UTF-16 with a byte-order mark, UTF-8 with or without one, else the
    // ANSI code page.
    void Parse(std::string bytes);

    Encoding TextEncoding() const { return encoding_; }
    const std::vector<Section>& Sections() const { return sections_; }
    // Names compare without regard to case, across the whole of Unicode.
    static bool SameName(const _stringx& a, const _stringx& b);
    // The first section or key of that name, or null.
    const Section* FindSection(const _stringx& name) const;
    static const Key* FindKey(const Section& section, const _stringx& name);
    // The value, or the empty text when the section or key is missing.
    _stringx Value(const _stringx& section, const _stringx& key) const;

    // Replaces the value in place, or adds the key at the end of its section, or the section at the
    // end of the file. E_INVALIDARG for a value holding a line break or one the file's code page
    // cannot hold; the content is then unchanged.
    HRESULT SetValue(const _stringx& section, const _stringx& key, const _stringx& value);

    // The file's bytes as Save would write them.
    std::string Bytes() const;
    // Writes a temporary file beside the target and moves it over the target, so that a failure at
    // any moment leaves either the old or the new file.
    HRESULT Save(const _stringx& path) const;

private:
    enum class LineKind { Other, Section, Key };
    // One line of the text, in code units (bytes, or UTF-16 units for UTF-16 files).
    struct Line {
        LineKind kind = LineKind::Other;
        size_t begin = 0;
        size_t contentEnd = 0;  // before the line ending
        size_t nameBegin = 0, nameEnd = 0;
        size_t valueBegin = 0;  // keys: the value runs to contentEnd
        int section = -1;       // index into sections_; -1 before the first section
    };

    template <typename Text>
    void Scan(const Text& text);
    template <typename Text>
    HRESULT Edit(Text& text, const _stringx& section, const _stringx& key, const _stringx& value);
    _stringx Decode(size_t begin, size_t end) const;
    // The text in the file's own code units; false when the file's code page cannot hold it.
    bool Encode(const _stringx& text, std::string* bytes) const;
    bool Encode(const _stringx& text, std::wstring* units) const {
        *units = text.str();
        return true;
    }
    size_t UnitCount() const { return wide() ? wide_.size() : narrow_.size(); }
    bool wide() const { return encoding_ == Encoding::Utf16Le || encoding_ == Encoding::Utf16Be; }

    Encoding encoding_ = Encoding::Utf8;
    std::string narrow_;      // 8-bit files, without the byte-order mark
    std::wstring wide_;       // UTF-16 files in native order, without the byte-order mark
    std::string oddByte_;     // a UTF-16 file's stray last byte, kept as it was
    std::wstring lineEnding_; // the first one in the file, for added lines
    std::vector<Line> lines_;
    std::vector<Section> sections_;
};

// The settings file of the application services: the file named by the environment variable
// CVAPPSERVICES_INI, else AppServices.ini beside the module that calls this.
_stringx AppServicesIniPath();
// That file as last read, or null when it is missing or cannot be read. It is read again only when
// its name, size or last-write time changes, or when it was written within the last two seconds.
std::shared_ptr<const IniFile> AppServicesSettings();
// A value of that file; the empty text when the file, the section or the key is missing.
_stringx AppServicesValue(const wchar_t* section, const wchar_t* key);
// The folder of the module that holds this code (no trailing backslash).
_stringx ThisModuleFolder();
