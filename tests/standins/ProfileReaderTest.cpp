// The INI reader stand-in: sections and keys found by name or position, values exactly as written.
#include <windows.h>
#include "profilereader.h"
#include "server/SiblingLoader.h"
#include "tests/standins/StandinTest.h"

namespace {
using cvtest::WriteText;
using standintest::Take;

const wchar_t kDll[] = L"ProfileReader.dll";
const wchar_t kNoSection[] = L"<no section>";
const wchar_t kNoKey[] = L"<no key>";

class Variant {
public:
    Variant() { VariantInit(&v_); }
    explicit Variant(const wchar_t* text) : Variant() {
        v_.vt = VT_BSTR;
        v_.bstrVal = SysAllocString(text);
    }
    explicit Variant(LONG n) : Variant() {
        v_.vt = VT_I4;
        v_.lVal = n;
    }
    ~Variant() { VariantClear(&v_); }
    VARIANT& Get() { return v_; }

private:
    VARIANT v_;
};

class ProfileReader : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        folder_ = standintest::ScratchForThisTest();
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, standintest::CanUnloadNow(kDll)) << "an object of the INI reader is left";
        ComTest::TearDown();
    }

    ComPtr<IProfileFile> Open(const std::string& bytes, const wchar_t* name = L"test.ini") {
        _stringx path = JoinPath(folder_, name);
        WriteText(path, bytes);
        ComPtr<IProfileFile> file;
        EXPECT_EQ(S_OK, CreateSiblingObject(kDll, CLSID_ProfileFile, IID_IProfileFile, file.PutVoid()));
        if (file) {
            EXPECT_EQ(S_OK, file->Load(unique_bstr(SysAllocString(path.c_str())).get()));
        }
        return file;
    }
    static ComPtr<IProfileKeys> Keys(IProfileFile* file, const wchar_t* section) {
        ComPtr<IProfileSections> sections;
        EXPECT_EQ(S_OK, file->get_Sections(sections.Put()));
        ComPtr<IProfileSection> found;
        EXPECT_EQ(S_OK, sections->get_Item(Variant(section).Get(), found.Put()));
        ComPtr<IProfileKeys> keys;
        if (found) {
            EXPECT_EQ(S_OK, found->get_Keys(keys.Put()));
        }
        return keys;
    }
    // The value, or a marker saying which part is missing.
    static std::wstring ValueOf(IProfileFile* file, const wchar_t* section, VARIANT& key) {
        ComPtr<IProfileKeys> keys = Keys(file, section);
        if (!keys) return kNoSection;
        ComPtr<IProfileKey> found;
        EXPECT_EQ(S_OK, keys->get_Item(key, found.Put()));
        if (!found) return kNoKey;
        BSTR value = nullptr;
        EXPECT_EQ(S_OK, found->get_Value(&value));
        return Take(value);
    }
    static std::wstring ValueOf(IProfileFile* file, const wchar_t* section, const wchar_t* key) {
        return ValueOf(file, section, Variant(key).Get());
    }
    static LONG SectionCount(IProfileFile* file) {
        ComPtr<IProfileSections> sections;
        EXPECT_EQ(S_OK, file->get_Sections(sections.Put()));
        LONG count = -1;
        EXPECT_EQ(S_OK, sections->get_Count(&count));
        return count;
    }

    _stringx folder_;
};

TEST_F(ProfileReader, FindsNamesInAnyCaseAndGivesValuesAsWritten) {
    const char* lines[] = {
        "; a comment before everything",
        "orphan=before any section",
        "[General]",
        "Name=Value",
        "Spaced Key  =  value with spaces  \t",
        "Equals=a=b=c",
        "Empty=",
        "  Indented=yes",
        ";Commented=no",
        "no equals sign here",
        "  [ Paths ]  ",
        "Folder=Z:\\x\\y\\",
        "[general]",
        "Name=second section of that name",
    };
    struct Lookup {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* expected;
    } lookups[] = {
        {L"General", L"Name", L"Value"},
        {L"GENERAL", L"nAmE", L"Value"},
        {L"General", L"spaced key", L"  value with spaces  \t"},
        {L"General", L"Equals", L"a=b=c"},
        {L"General", L"Empty", L""},
        {L"General", L"Indented", L"yes"},
        {L"General", L";Commented", kNoKey},
        {L"General", L"Commented", kNoKey},
        {L"General", L"no equals sign here", kNoKey},
        {L"General", L"orphan", kNoKey},
        {L"paths", L"FOLDER", L"Z:\\x\\y\\"},
        {L"General", L"Missing", kNoKey},
        {L"Missing", L"Name", kNoSection},
        {L"", L"orphan", kNoSection},
    };
    for (const char* ending : {"\r\n", "\n"}) {
        std::string bytes;
        for (const char* line : lines) bytes += std::string(line) + ending;
        ComPtr<IProfileFile> file = Open(bytes);
        ASSERT_TRUE(file);
        EXPECT_EQ(3, SectionCount(file.Get()));
        for (const Lookup& l : lookups)
            EXPECT_EQ(std::wstring(l.expected), ValueOf(file.Get(), l.section, l.key))
                << "[" << _stringx(l.section).AsNarrow() << "] " << _stringx(l.key).AsNarrow()
                << (ending[0] == '\r' ? " CRLF" : " LF");
    }
}

TEST_F(ProfileReader, ReadsUtf8WithAndWithoutMarkAndUtf16) {
    const std::wstring text = L"[Gr\u00f6\u00dfe]\r\nKey=Wert \u00e4\u00f6\u00fc \u20ac\r\n";
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {{"UTF-8", standintest::Utf8(text)},
                 {"UTF-8 with BOM", "\xEF\xBB\xBF" + standintest::Utf8(text)},
                 {"UTF-16LE with BOM", standintest::Utf16File(text)}};
    for (const Case& c : cases) {
        ComPtr<IProfileFile> file = Open(c.bytes);
        ASSERT_TRUE(file) << c.what;
        EXPECT_EQ(std::wstring(L"Wert \u00e4\u00f6\u00fc \u20ac"), ValueOf(file.Get(), L"GR\u00d6\u00dfE", L"key")) << c.what;

        // The byte-order mark is not part of the first section's name.
        ComPtr<IProfileSections> sections;
        ASSERT_EQ(S_OK, file->get_Sections(sections.Put()));
        ComPtr<IProfileSection> first;
        ASSERT_EQ(S_OK, sections->get_Item(Variant(1).Get(), first.Put()));
        ASSERT_TRUE(first) << c.what;
        BSTR name = nullptr;
        EXPECT_EQ(S_OK, first->get_Name(&name));
        EXPECT_EQ(std::wstring(L"Gr\u00f6\u00dfe"), Take(name)) << c.what;
    }
}

TEST_F(ProfileReader, KeysByNameOrOneBasedPosition) {
    ComPtr<IProfileFile> file = Open("[S]\r\nFirst=1\r\nSecond=2\r\nThird=3\r\n");
    ASSERT_TRUE(file);
    ComPtr<IProfileKeys> keys = Keys(file.Get(), L"S");
    ASSERT_TRUE(keys);
    LONG count = 0;
    EXPECT_EQ(S_OK, keys->get_Count(&count));
    EXPECT_EQ(3, count);

    LONG three = 3;
    Variant inner(L"second");
    auto make = [](VARTYPE vt, auto set) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        set(v);
        return v;
    };
    struct Case {
        const char* what;
        VARIANT which;
        const wchar_t* expected;
    } cases[] = {
        {"VT_I4 1", make(VT_I4, [](VARIANT& v) { v.lVal = 1; }), L"1"},
        {"VT_I2 3", make(VT_I2, [](VARIANT& v) { v.iVal = 3; }), L"3"},
        {"VT_I4 by reference", make(VT_I4 | VT_BYREF, [&](VARIANT& v) { v.plVal = &three; }), L"3"},
        {"VT_R8 2.0", make(VT_R8, [](VARIANT& v) { v.dblVal = 2.0; }), L"2"},
        {"name in a VARIANT by reference", make(VT_VARIANT | VT_BYREF, [&](VARIANT& v) { v.pvarVal = &inner.Get(); }), L"2"},
        {"VT_I4 0", make(VT_I4, [](VARIANT& v) { v.lVal = 0; }), kNoKey},
        {"VT_I4 4", make(VT_I4, [](VARIANT& v) { v.lVal = 4; }), kNoKey},
        {"VT_I4 -1", make(VT_I4, [](VARIANT& v) { v.lVal = -1; }), kNoKey},
    };
    for (Case& c : cases) EXPECT_EQ(std::wstring(c.expected), ValueOf(file.Get(), L"S", c.which)) << c.what;

    // The name comes back as written, whatever position or case found it.
    ComPtr<IProfileKey> key;
    ASSERT_EQ(S_OK, keys->get_Item(Variant(L"THIRD").Get(), key.Put()));
    ASSERT_TRUE(key);
    BSTR name = nullptr;
    EXPECT_EQ(S_OK, key->get_Name(&name));
    EXPECT_EQ(std::wstring(L"Third"), Take(name));

    // Neither a name nor a number: a clear error and no key.
    VARIANT nothing;
    VariantInit(&nothing);
    IProfileKey* out = reinterpret_cast<IProfileKey*>(1);
    EXPECT_EQ(E_INVALIDARG, keys->get_Item(nothing, &out));
    EXPECT_EQ(nullptr, out);
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    EXPECT_TRUE(info.present);
    EXPECT_NE(std::wstring::npos, info.description.str().find(L"position"));
    // A caller that could not build its argument passes its failure along.
    VARIANT failed;
    failed.vt = VT_ERROR;
    failed.scode = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, keys->get_Item(failed, &out));
    cvtest::TakeErrorInfo();
}

TEST_F(ProfileReader, LoadFailsForWhatIsNoFileAndKeepsTheLastContent) {
    ComPtr<IProfileFile> file;
    ASSERT_EQ(S_OK, CreateSiblingObject(kDll, CLSID_ProfileFile, IID_IProfileFile, file.PutVoid()));
    EXPECT_EQ(0, SectionCount(file.Get())) << "nothing loaded yet";

    _stringx missing = JoinPath(folder_, L"missing.ini");
    const _stringx paths[] = {missing, folder_, _stringx()};
    for (const _stringx& path : paths) {
        unique_bstr text(path.empty() ? nullptr : SysAllocString(path.c_str()));
        HRESULT hr = file->Load(text.get());
        EXPECT_TRUE(FAILED(hr)) << _stringx(path).AsNarrow();
        cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
        EXPECT_TRUE(info.present);
        EXPECT_EQ(std::wstring(L"ProfileReader.ProfileFile.1"), info.source.str());
        if (!path.empty()) {
            EXPECT_NE(std::wstring::npos, info.description.str().find(path.str()));
        }
    }
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              file->Load(unique_bstr(SysAllocString(missing.c_str())).get()));
    cvtest::TakeErrorInfo();

    // A failed load keeps the content; a good one replaces it for new objects only.
    file = Open("[Kept]\r\nKey=kept\r\n");
    ASSERT_TRUE(file);
    EXPECT_TRUE(FAILED(file->Load(unique_bstr(SysAllocString(missing.c_str())).get())));
    cvtest::TakeErrorInfo();
    EXPECT_EQ(std::wstring(L"kept"), ValueOf(file.Get(), L"Kept", L"Key"));
    ComPtr<IProfileKeys> oldKeys = Keys(file.Get(), L"Kept");
    WriteText(missing, "[Kept]\r\nKey=new\r\n");
    EXPECT_EQ(S_OK, file->Load(unique_bstr(SysAllocString(missing.c_str())).get()));
    EXPECT_EQ(std::wstring(L"new"), ValueOf(file.Get(), L"Kept", L"Key"));
    ComPtr<IProfileKey> oldKey;
    ASSERT_EQ(S_OK, oldKeys->get_Item(Variant(1).Get(), oldKey.Put()));
    BSTR value = nullptr;
    EXPECT_EQ(S_OK, oldKey->get_Value(&value));
    EXPECT_EQ(std::wstring(L"kept"), Take(value));
}

// A script walks the registered reader: default members, positions and a missing section.
TEST_F(ProfileReader, ScriptReadsThroughTheRegisteredClass) {
    _stringx ini = JoinPath(folder_, L"script.ini");
    WriteText(ini, "[General]\r\nName= spaced \r\nOther=2\r\n");
    std::wstring escaped;
    for (wchar_t c : ini.str()) escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    std::wstring script =
        L"var f = new ActiveXObject(\"ProfileReader.ProfileFile\");\r\n"
        L"f.Load(\"" + escaped + L"\");\r\n"
        L"var keys = f.Sections(\"general\").Keys;\r\n"
        L"function check(what, ok) { if (!ok) WScript.Echo(\"FAIL: \" + what); return ok; }\r\n"
        L"var ok = check(\"count\", keys.Count == 2);\r\n"
        L"ok = check(\"by position\", keys(2).Name == \"Other\") && ok;\r\n"
        L"ok = check(\"by name\", keys(\"NAME\").Value == \" spaced \") && ok;\r\n"
        L"ok = check(\"missing section\", f.Sections(\"nope\") == null) && ok;\r\n"
        L"try { f.Load(\"Z:\\\\no\\\\such.ini\"); ok = check(\"load of a missing file\", false); }\r\n"
        L"catch (e) { ok = check(\"error text\", String(e.description).indexOf(\"such.ini\") >= 0) && ok; }\r\n"
        L"if (ok) WScript.Echo(\"ALL-OK\");\r\n";
    _stringx js = JoinPath(folder_, L"walk.js");
    WriteText(js, standintest::Utf8(script));
    std::string output;
    EXPECT_EQ(0u, cvtest::RunProcess(_stringx(L"cscript.exe //nologo \"") + js + L"\"", &output));
    EXPECT_NE(std::string::npos, output.find("ALL-OK")) << output;
    EXPECT_EQ(std::string::npos, output.find("FAIL:")) << output;
}

}  // namespace
