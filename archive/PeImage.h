// Just enough of the PE file format to find a signature: the certificate
// table that signing tools append at the end of an executable.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether the first n bytes of a file begin as a Windows executable does
// ("MZ").
inline bool StartsAsExecutable(const uint8_t* head, size_t n) {
  return n >= 2 && head[0] == 'M' && head[1] == 'Z';
}

// How many leading bytes of a file PeCertificateTable needs at most.
inline constexpr size_t PeHeaderBytes = 4096;

// Looks at the first n bytes of a file (n <= PeHeaderBytes suffices) and,
// when they are the headers of a PE image whose security directory names a
// certificate table, sets *offset and *size to its file offset and length
// and returns true. False for anything else, including a truncated header.
bool PeCertificateTable(const uint8_t* head, size_t n, uint32_t* offset, uint32_t* size);
