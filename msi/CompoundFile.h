// A strict structural check of a compound file (the container of an installer database), made on
// the bytes alone before the installer library sees the file: damaged allocation tables and
// directory trees make that library loop forever or fault, so a file that fails here is never
// handed to it.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

// The check over an image of the whole file: header, sector sizes, the FAT and DIFAT chains in
// bounds, no chain that loops or shares a sector with another, the directory tree's links in
// bounds and acyclic, stream sizes covered by their chains, the mini stream and its table.
bool IsSoundCompoundImage(const uint8_t* bytes, size_t size);

// The same check of a file, read without locking it against anyone; false when it cannot be read.
bool IsSoundCompoundFile(const wchar_t* path);
