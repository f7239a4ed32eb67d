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

// A VARIANT owned for the length of one statement or scope.
struct Variant : VARIANT {
    explicit Variant(VARTYPE type = VT_EMPTY) {
        VariantInit(this);
        vt = type;
    }
    explicit Variant(const wchar_t* text) : Variant(VT_BSTR) { bstrVal = SysAllocString(text); }
    static Variant At(LONG position) {
        Variant v(VT_I4);
        v.lVal = position;
        return v;
    }
    ~Variant() { VariantClear(this); }
};

class ProfileReader : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        folder_ = standintest::ScratchForThisTest();
        path_ = JoinPath(folder_, L"test.ini");
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, cvtest::CanUnloadNow(kDll)) << "an object of the INI reader is left";
        ComTest::TearDown();
    }
    ComPtr<IProfileFile> Open(const std::string& bytes) {
        WriteText(path_, bytes);
        ComPtr<IProfileFile> file;
        EXPECT_EQ(S_OK, CreateSiblingObject(kDll, CLSID_ProfileFile, IID_IProfileFile, file.PutVoid()));
        EXPECT_TRUE(file && file->Load(unique_bstr(SysAllocString(path_.c_str())).get()) == S_OK);
        return file;
    }
    static ComPtr<IProfileKeys> Keys(IProfileFile* file, const wchar_t* section) {
        ComPtr<IProfileSections> sections;
        ComPtr<IProfileSection> found;
        ComPtr<IProfileKeys> keys;
        EXPECT_EQ(S_OK, file->get_Sections(sections.Put()));
        EXPECT_EQ(S_OK, sections->get_Item(Variant(section), found.Put()));
        EXPECT_TRUE(!found || found->get_Keys(keys.Put()) == S_OK);
        return keys;
    }
    // The value, or a marker saying which part is missing.
    static std::wstring ValueOf(IProfileFile* file, const wchar_t* section, const VARIANT& key) {
        ComPtr<IProfileKeys> keys = Keys(file, section);
        ComPtr<IProfileKey> found;
        BSTR value = nullptr;
        if (!keys) return kNoSection;
        EXPECT_EQ(S_OK, keys->get_Item(key, found.Put()));
        EXPECT_TRUE(!found || found->get_Value(&value) == S_OK);
        return found ? Take(value) : kNoKey;
    }
    static std::wstring ValueOf(IProfileFile* file, const wchar_t* section, const wchar_t* key) {
        return ValueOf(file, section, Variant(key));
    }
    _stringx folder_;
    _stringx path_;
};

TEST_F(ProfileReader, FindsNamesInAnyCaseAndGivesValuesAsWritten) {
    // The first line is a section, so that a byte-order mark left in front of it would show.
    const wchar_t* lines[] = {
        L"[Gr\u00f6\u00dfe]", L"Key=Wert \u00e4\u00f6\u00fc \u20ac", L"; a comment", L"[General]", L"Name=Value",
        L"Spaced Key  =  value with spaces  \t", L"Equals=a=b=c", L"Empty=", L"  Indented=yes", L";Commented=no",
        L"no equals sign here", L"  [ Paths ]  ", L"Folder=Z:\\x\\y\\", L"[general]", L"Name=second section",
    };
    struct Lookup {
        const wchar_t *section, *key, *expected;
    } lookups[] = {
        {L"GR\u00d6\u00dfE", L"key", L"Wert \u00e4\u00f6\u00fc \u20ac"},
        {L"GENERAL", L"nAmE", L"Value"},
        {L"General", L"spaced key", L"  value with spaces  \t"},
        {L"General", L"Equals", L"a=b=c"},
        {L"General", L"Empty", L""},
        {L"General", L"Indented", L"yes"},
        {L"General", L";Commented", kNoKey},
        {L"General", L"no equals sign here", kNoKey},
        {L"paths", L"FOLDER", L"Z:\\x\\y\\"},
        {L"Missing", L"Name", kNoSection},
    };
    const char* encodings[] = {"UTF-8 CRLF", "UTF-8 with BOM, LF", "UTF-16 CRLF"};
    for (int encoding = 0; encoding < 3; ++encoding) {
        std::wstring text;
        for (const wchar_t* line : lines) text += std::wstring(line) + (encoding == 1 ? L"\n" : L"\r\n");
        ComPtr<IProfileFile> file = Open(encoding == 2 ? standintest::Utf16File(text)
                                                       : (encoding ? "\xEF\xBB\xBF" : "") + ToUtf8(text));
        ASSERT_TRUE(file);
        for (const Lookup& l : lookups)
            EXPECT_EQ(std::wstring(l.expected), ValueOf(file.Get(), l.section, l.key))
                << "[" << _stringx(l.section).AsNarrow() << "] " << _stringx(l.key).AsNarrow() << ", "
                << encodings[encoding];
    }
}

TEST_F(ProfileReader, KeysByNameOrOneBasedPositionAsScriptsPassThem) {
    ComPtr<IProfileFile> file = Open("[S]\r\nFirst=1\r\nSecond=2\r\nThird=3\r\n");
    ASSERT_TRUE(file);
    LONG three = 3;
    Variant name(L"second"), i2(VT_I2), byRef(VT_I4 | VT_BYREF), nameByRef(VT_VARIANT | VT_BYREF);
    Variant one = Variant::At(1), zero = Variant::At(0), four = Variant::At(4);
    i2.iVal = 3;
    byRef.plVal = &three;
    nameByRef.pvarVal = &name;
    const std::pair<const VARIANT*, const wchar_t*> cases[] = {
        {&one, L"1"}, {&i2, L"3"}, {&byRef, L"3"}, {&nameByRef, L"2"}, {&zero, kNoKey}, {&four, kNoKey},
    };
    for (const auto& [which, expected] : cases)
        EXPECT_EQ(std::wstring(expected), ValueOf(file.Get(), L"S", *which)) << "vt " << which->vt;

    // Neither a name nor a number: a clear error and no key.
    ComPtr<IProfileKeys> keys = Keys(file.Get(), L"S");
    ASSERT_TRUE(keys);
    IProfileKey* out = reinterpret_cast<IProfileKey*>(1);
    EXPECT_EQ(E_INVALIDARG, keys->get_Item(Variant(), &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_NE(std::wstring::npos, cvtest::TakeErrorInfo().description.str().find(L"position"));
}

TEST_F(ProfileReader, LoadFailsForWhatIsNoFileAndKeepsTheLastContent) {
    ComPtr<IProfileFile> file = Open("[Kept]\r\nKey=kept\r\n");
    ASSERT_TRUE(file);
    _stringx missing = JoinPath(folder_, L"missing.ini");
    for (const _stringx& path : {missing, folder_, _stringx()}) {
        unique_bstr text(path.empty() ? nullptr : SysAllocString(path.c_str()));
        HRESULT hr = file->Load(text.get());
        EXPECT_TRUE(path == missing ? hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : FAILED(hr))
            << _stringx(path).AsNarrow();
        cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
        EXPECT_EQ(std::wstring(L"ProfileReader.ProfileFile.1"), info.source.str());
        EXPECT_EQ(GUID_NULL, info.guid);
        EXPECT_NE(std::wstring::npos, info.description.str().find(path.str()));
    }

    // A failed load keeps the content; a good one replaces it for new objects only.
    EXPECT_EQ(std::wstring(L"kept"), ValueOf(file.Get(), L"Kept", L"Key"));
    ComPtr<IProfileKeys> oldKeys = Keys(file.Get(), L"Kept");
    WriteText(missing, "[Kept]\r\nKey=new\r\n");
    EXPECT_EQ(S_OK, file->Load(unique_bstr(SysAllocString(missing.c_str())).get()));
    EXPECT_EQ(std::wstring(L"new"), ValueOf(file.Get(), L"Kept", L"Key"));
    ComPtr<IProfileKey> oldKey;
    ASSERT_EQ(S_OK, oldKeys->get_Item(Variant::At(1), oldKey.Put()));
    BSTR value = nullptr;
    EXPECT_EQ(S_OK, oldKey->get_Value(&value));
    EXPECT_EQ(std::wstring(L"kept"), Take(value));
}

// A script walks the registered reader: default members, positions and a missing section.
TEST_F(ProfileReader, ScriptReadsThroughTheRegisteredClass) {
    WriteText(path_, "[General]\r\nName= spaced \r\nOther=2\r\n");
    _stringx js = JoinPath(folder_, L"walk.js");
    WriteText(js,
              "var f = new ActiveXObject('ProfileReader.ProfileFile');\r\n"
              "f.Load('test.ini');\r\n"
              "var keys = f.Sections('general').Keys, failed = '';\r\n"
              "try { f.Load('Z:\\\\no\\\\such.ini'); } catch (e) { failed = String(e.description); }\r\n"
              "WScript.Echo([keys.Count, keys('OTHER').Name, '[' + keys(1).Value + ']',\r\n"
              "              f.Sections('nope') == null, failed.indexOf('such.ini') >= 0].join('|'));\r\n");
    std::string output;
    _stringx command = _stringx(L"cscript.exe //nologo \"") + js + L"\"";
    EXPECT_EQ(0u, cvtest::RunProcess(command, &output, 120000, folder_.c_str()));
    EXPECT_NE(std::string::npos, output.find("2|Other|[ spaced ]|true|true")) << output;
}

}  // namespace
