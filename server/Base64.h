#pragma once
// Base64 (standard alphabet, "=" padding, no line breaks). Both functions return a buffer
// from malloc, NUL-terminated, that the caller releases with free; null when memory is short.

// Stores the text's length (4 * ((length + 2) / 3)) through outLength.
char* base64_encode(const char* data, unsigned long length, unsigned long* outLength);

// Decodes text made only of alphabet characters with at most two "=" at its end. Returns
// null when length is not a multiple of 4 or the text holds anything else (white space
// included); an empty text gives an empty buffer. The decoded size goes through outLength.
char* base64_decode(const char* text, unsigned long length, unsigned long* outLength);
