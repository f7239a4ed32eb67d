// The wire between the server and its reader process: frames (a 32-bit length, then that many
// bytes) carrying one request or one reply each. Both ends use these limits and this description
// of each record, for encoding and decoding alike.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include "msi/ModuleData.h"

// The largest request and reply either end sends or accepts: a request is a path and a key; a
// reply is a module's lists, whose folders are sent once each.
constexpr uint32_t kLargestRequest = 1u << 20;
constexpr uint32_t kLargestReply = 256u << 20;

// Appends a frame holding what `encode` appends to its argument; false (nothing appended) when it
// would be larger than `limit`.
template <typename Encode>
bool AppendFrame(std::string& out, uint32_t limit, Encode&& encode) {
    const size_t start = out.size();
    out.append(sizeof(uint32_t), '\0');
    encode(out);
    const size_t length = out.size() - start - sizeof(uint32_t);
    if (length > limit) {
        out.resize(start);
        return false;
    }
    const uint32_t word = static_cast<uint32_t>(length);
    out.replace(start, sizeof word, reinterpret_cast<const char*>(&word), sizeof word);
    return true;
}

constexpr size_t kFrameHeader = sizeof(uint32_t);
enum class FrameState { Incomplete, Complete, TooLarge };
// Looks at the front of `buffer`: Complete when a whole frame is there, its bytes `length` long
// after the header; TooLarge as soon as its header says more than `limit`.
FrameState PeekFrame(const std::string& buffer, uint32_t limit, uint32_t& length);
// Moves the whole frame at the front of `buffer` into `payload`.
void TakeFrame(std::string& buffer, uint32_t length, std::string& payload);

void EncodeRequest(ModuleRead what, const _stringx& path, const _stringx& argument, std::string& out);
bool DecodeRequest(const std::string& in, ModuleRead& what, _stringx& path, _stringx& argument);
void EncodeResult(const ModuleReadResult& result, std::string& out);
bool DecodeResult(std::string_view in, ModuleReadResult& result);
// The same, for `in` lying within the `heldLength` bytes of `held`: the file records hold those bytes
// and point into them rather than copy their texts.
bool DecodeResult(std::string_view in, ModuleReadResult& result, std::shared_ptr<const char> held, size_t heldLength);
