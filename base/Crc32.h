// CRC-32 (IEEE 802.3, reflected), the value ntdll's RtlComputeCrc32(0, ...) gives, several bytes a
// step: the module cache checks every section it reads with it, megabytes at a first search.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t Crc32(const void* data, size_t length);
// The CRC of bytes that follow those whose CRC is `previous`: a section summed a window at a time.
uint32_t Crc32(const void* data, size_t length, uint32_t previous);
