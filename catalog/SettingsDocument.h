// The environment's settings document (XML) as far as the file search reads it: the files that a
// workspace tells the catalog not to take from a given merge module.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <msxml2.h>
#include <vector>
#include "base/stringx.h"
#include "base/Handles.h"

// A DOM document of the newest parser there is: 6.0, 4.0, then 3.0, first as registered classes,
// then straight from msxml6.dll, msxml4.dll, msxml3.dll. parserVersion gets 6, 4 or 3. Raises the
// last failure when none can be created.
ComPtr<IXMLDOMDocument2> CreateXmlDocument(int* parserVersion = nullptr);

// Loads an XML file synchronously, DTDs allowed. Raises when it cannot be read or parsed; the error
// information names the file and the parser's reason.
ComPtr<IXMLDOMDocument2> LoadXmlDocument(const _stringx& path, bool validateOnParse);

// The value of an element's attribute as text; empty when the element has no attribute of that name.
_stringx AttributeText(IXMLDOMNode* element, const _stringx& name);

class SettingsDocument {
public:
    // Raises when the document does not load. Reads the exclusions and lets the parser go, so that
    // a kept document holds no object of the parser's apartment.
    explicit SettingsDocument(const _stringx& path);

    // True when an element "Workbench/IDE/Workspaces/MM_FilesExlusion/FilesExlusion" pairs the
    // module's package code (attribute "MM_GUID") with the file name (attribute
    // "InclusionFileNames"), both compared whole and without regard to case. An element whose
    // attributes could not be read raises when the question reaches it, as a live query would.
    bool IsFileExcluded(const _stringx& packageCode, const _stringx& fileName) const;

private:
    struct Exclusion {
        _stringx packageCode;  // lower case
        _stringx fileName;     // lower case
        HRESULT failure;       // reading this element failed: the list ends here
    };
    std::vector<Exclusion> exclusions_;
};

// Asks the document at documentPath. The document read last is kept and asked again until the
// path, the file's size or its last-write time changes; a file written within the last two
// seconds is read again, since a change within the file system's time resolution would not show.
bool IsFileExcluded(const _stringx& documentPath, const _stringx& packageCode, const _stringx& fileName);
