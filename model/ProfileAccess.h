// Reading INI files through the environment's INI reader, and the application services that say
// where the files are. Every failing call raises the server's error exception unless said otherwise.
#pragma once
#include <windows.h>
#include <vector>
#include "appservices.h"
#include "profilereader.h"
#include "base/stringx.h"
#include "base/Handles.h"

ComPtr<IProfileFile> CreateProfileReader();
// Null when the file has no such section.
ComPtr<IProfileSection> ProfileSection(IProfileFile* file, const _stringx& name);
ComPtr<IProfileKeys> ProfileKeys(IProfileSection* section);
// Null when the section has no such key.
ComPtr<IProfileKey> ProfileKeyByName(IProfileKeys* keys, const _stringx& name);
// position counts from 1. Null when there is no key there.
ComPtr<IProfileKey> ProfileKeyAt(IProfileKeys* keys, LONG position);
// A failing count raises with the system's text for its HRESULT.
LONG ProfileKeyCount(IProfileKeys* keys);
_stringx ProfileKeyName(IProfileKey* key);
// The call's result is not looked at: whatever text it left is the value.
_stringx ProfileKeyValue(IProfileKey* key);

// The application folder of the environment (holds "ObjectGallery").
_stringx ApplicationFolder();

// Drops error information that a failure we chose to ignore left on this thread, so that it
// cannot end up in the description of a later, unrelated error.
void ForgetErrorInfo();
