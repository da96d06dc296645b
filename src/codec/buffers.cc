#include "codec/buffers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace tarnwick {

Result<Bytes> allocate_bytes(std::size_t size) {
  try {
    Bytes bytes;
    bytes.resize(size);
    return bytes;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail(TarnwickError::compression("out of memory allocating " + std::to_string(size) + " bytes"));
}

Result<Bytes> copy_bytes(ByteView bytes) {
  TW_ASSIGN_OR_RETURN(Bytes copy, allocate_bytes(bytes.size()));
  if (!bytes.empty()) std::memcpy(copy.data(), bytes.data(), bytes.size());
  return copy;
}

void programming_error(std::string_view message) {
  std::string line(message);
  line += '\n';
  std::fputs(line.c_str(), stderr);
  std::abort();
}

}  // namespace tarnwick
