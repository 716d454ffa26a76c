// base64_decode on arbitrary text: it must stay within its buffers, and what it accepts must
// encode back to the same text, except for the unused low bits of the last character before
// the padding, which the decoder ignores.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A private copy, so reads past the end of the text are caught by the sanitizer.
  char* text = static_cast<char*>(std::malloc(size ? size : 1));
  if (!text) return 0;
  std::memcpy(text, data, size);
  unsigned long n = 0;
  char* out = base64_decode(text, size, &n);
  if (out) {
    if (out[n] != '\0') std::abort();
    unsigned long m = 0;
    char* again = base64_encode(out, n, &m);
    if (!again || m != size) std::abort();
    unsigned long pad = size == 0 ? 0 : text[size - 1] != '=' ? 0 : text[size - 2] == '=' ? 2 : 1;
    for (unsigned long i = 0; i < m; ++i)
      if (again[i] != text[i] && !(pad > 0 && i == size - pad - 1)) std::abort();
    std::free(again);
    std::free(out);
  }
  std::free(text);
  return 0;
}
