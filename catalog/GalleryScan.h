// The gallery folder: the "*.ini" files of "ObjectGallery" in the application folder, each of
// which describes a module that the environment offers. Read at every catalog rebuild.
#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <memory>
#include "appservices.h"
#include "model/CatalogEntry.h"
#include "base/stringx.h"

// Lower-cased full path of a gallery description file -> the entry made from it. A later scan
// replaces the entry stored for the same path; module objects handed out earlier share the old one,
// so it lives on as long as they do.
using GalleryEntryMap = std::map<_stringx, std::shared_ptr<CatalogEntry>>;

// Makes an entry of every gallery file that has a ModuleID and whose entry key isTaken does not
// report, keeps it in `entries` and hands it to `add`, in the order the folder lists the files.
// isTaken is asked again for every file, so a key added for one file is taken for the next.
// A missing gallery folder adds nothing; failures of the application services or the INI reader raise.
void ScanGallery(IAppFolders* folders, GalleryEntryMap& entries,
                 const std::function<bool(const _stringx& key)>& isTaken,
                 const std::function<void(const std::shared_ptr<CatalogEntry>& entry)>& add);
