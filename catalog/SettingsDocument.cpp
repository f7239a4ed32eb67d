#include "catalog/SettingsDocument.h"

#include <memory>
#include "server/ComException.h"
#include "base/FileStamp.h"
#include "server/SiblingLoader.h"

namespace {
// Neither mingw's headers nor libuuid carry these.
const IID kIidXmlDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const CLSID kDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
const CLSID kDomDocument40 = {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
const CLSID kDomDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};

struct Parser {
    const CLSID* clsid;
    const wchar_t* dllName;
    int version;
};
const Parser kParsers[] = {
    {&kDomDocument60, L"msxml6.dll", 6}, {&kDomDocument40, L"msxml4.dll", 4}, {&kDomDocument30, L"msxml3.dll", 3}};

const wchar_t kExclusionPath[] = L"Workbench/IDE/Workspaces/MM_FilesExlusion/FilesExlusion";

// Publishes the description as the thread's error information, then raises the failure.
[[noreturn]] void RaiseDescribed(HRESULT hr, const _stringx& description) {
    PublishDescription(description);
    RaiseComException(com_exception(hr));
}

}  // namespace

ComPtr<IXMLDOMDocument2> CreateXmlDocument(int* parserVersion) {
    ComPtr<IXMLDOMDocument2> document;
    HRESULT hr = E_FAIL;
    for (const Parser& parser : kParsers) {
        hr = CoCreateInstance(*parser.clsid, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDocument2, document.PutVoid());
        if (SUCCEEDED(hr) && document) {
            if (parserVersion) *parserVersion = parser.version;
            return document;
        }
    }
    // Not registered: the parser DLLs may still be there.
    for (const Parser& parser : kParsers) {
        hr = CreateSiblingObject(parser.dllName, *parser.clsid, kIidXmlDocument2, document.PutVoid());
        if (SUCCEEDED(hr) && document) {
            if (parserVersion) *parserVersion = parser.version;
            return document;
        }
    }
    CheckResult(FAILED(hr) ? hr : E_NOINTERFACE);
    return nullptr;
}

ComPtr<IXMLDOMDocument2> LoadXmlDocument(const _stringx& path, bool validateOnParse) {
    ComPtr<IXMLDOMDocument2> document = CreateXmlDocument();
    // The default is an asynchronous load, which would hand back a document still being read.
    CheckResult(document->put_async(VARIANT_FALSE));
    _stringx property(L"ProhibitDTD");
    VARIANT allowDtd;
    VariantInit(&allowDtd);
    V_VT(&allowDtd) = VT_I2;
    V_I2(&allowDtd) = 0;
    CheckResult(document->setProperty(property.AsBSTR(), allowDtd));
    CheckResult(document->put_validateOnParse(validateOnParse ? VARIANT_TRUE : VARIANT_FALSE));

    _stringx file(path);
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_BSTR;
    V_BSTR(&source) = file.AsBSTR();  // owned by `file`
    VARIANT_BOOL loaded = VARIANT_FALSE;
    CheckResult(document->load(source, &loaded));
    if (loaded) return document;

    // S_FALSE: the parser tells why.
    HRESULT hr = E_FAIL;
    _stringx reason;
    ComPtr<IXMLDOMParseError> error;
    if (SUCCEEDED(document->get_parseError(error.Put())) && error) {
        long code = 0;
        if (SUCCEEDED(error->get_errorCode(&code)) && FAILED(code)) hr = code;
        unique_bstr text;
        if (SUCCEEDED(error->get_reason(text.put()))) reason = text.get();
    }
    RaiseDescribed(hr, _stringx::Formatted(L"The XML document \"%s\" cannot be loaded: %s", path.c_str(),
                                           reason.empty() ? SystemMessage(hr).c_str() : reason.c_str()));
}

_stringx AttributeText(IXMLDOMNode* element, const _stringx& name) {
    ComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(element->get_attributes(attributes.Put())) || !attributes) return _stringx();
    _stringx attributeName(name);
    ComPtr<IXMLDOMNode> attribute;
    if (attributes->getNamedItem(attributeName.AsBSTR(), attribute.Put()) != S_OK || !attribute) return _stringx();
    VARIANT value;
    VariantInit(&value);
    CheckResult(attribute->get_nodeValue(&value));
    HRESULT hr = V_VT(&value) == VT_BSTR ? S_OK : VariantChangeType(&value, &value, 0, VT_BSTR);
    _stringx text = SUCCEEDED(hr) && V_VT(&value) == VT_BSTR ? _stringx(V_BSTR(&value)) : _stringx();
    VariantClear(&value);
    CheckResult(hr);
    return text;
}

SettingsDocument::SettingsDocument(const _stringx& path) {
    ComPtr<IXMLDOMDocument2> document = LoadXmlDocument(path, false);
    _stringx query(kExclusionPath);
    ComPtr<IXMLDOMNodeList> elements;
    long count = 0;
    try {
        CheckResult(document->selectNodes(query.AsBSTR(), elements.Put()));
        if (elements) CheckResult(elements->get_length(&count));
    } catch (const CComException& error) {
        exclusions_.push_back({_stringx(), _stringx(), error.Error().Error()});
        return;
    }
    for (long i = 0; i < count; ++i) {
        try {
            ComPtr<IXMLDOMNode> element;
            CheckResult(elements->get_item(i, element.Put()));
            if (!element) continue;
            exclusions_.push_back({AttributeText(element.Get(), L"MM_GUID").Lower(),
                                   AttributeText(element.Get(), L"InclusionFileNames").Lower(), S_OK});
        } catch (const CComException& error) {
            exclusions_.push_back({_stringx(), _stringx(), error.Error().Error()});
            return;
        }
    }
}

bool SettingsDocument::IsFileExcluded(const _stringx& packageCode, const _stringx& fileName) const {
    const _stringx code = packageCode.Lower(), name = fileName.Lower();
    for (const Exclusion& exclusion : exclusions_) {
        if (FAILED(exclusion.failure)) CheckResult(exclusion.failure);
        if (exclusion.packageCode.length() == packageCode.length() && exclusion.packageCode == code &&
            exclusion.fileName.length() == fileName.length() && exclusion.fileName == name)
            return true;
    }
    return false;
}

bool IsFileExcluded(const _stringx& documentPath, const _stringx& packageCode, const _stringx& fileName) {
    // Never destroyed: callers may run at process exit. A document that does not load raises as
    // before and is not kept.
    static auto* kept = new KeptFromFile<SettingsDocument>;
    return kept->Get(documentPath.str(), [&] { return std::make_shared<const SettingsDocument>(documentPath); })
        ->IsFileExcluded(packageCode, fileName);
}
