// fileio.h: whole-file reading and safe, checked replacement of a file.
// A file is replaced by writing a complete new file beside it and renaming it
// over the old one, so a failure at any point leaves the old file as it was.
// Every routine here either succeeds or ends the process through FatalError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// A file's bytes, followed by one zero byte that is not counted in length.
struct FileImage {
  std::unique_ptr<unsigned char[]> data;
  int32_t length = 0;
};

// Reads the whole regular file at path. Refuses, through FatalError, a file
// that cannot be opened ("Error opening %s: %s"), anything that is not a
// regular file (a directory reports the system's text for EISDIR), a file of
// 2 GiB or more, a failed size query, a buffer that cannot be allocated, and
// a short read ("File read failure").
FileImage ReadWholeFile(const char* path);

// A regular file open for reading pieces of it, and its size.
struct FileReader {
  FILE* stream = nullptr;
  int32_t length = 0;
  int32_t position = 0;  // the stream's offset
};

// Opens the regular file at path for reading; refuses it exactly as
// ReadWholeFile does, with the same messages, before any byte is read.
FileReader OpenForReading(const char* path);

// Reads length bytes at offset into dest; offset + length must not pass the
// file's length. Fewer bytes than asked (the file shrank, or the device
// failed) end the run with "File read failure".
void ReadExact(FileReader& file, int32_t offset, void* dest, size_t length);

// Closes the file; harmless on a closed one.
void CloseReader(FileReader& file);

// Calling sequence for replacing a file:
//   FILE* out = OpenForWriting(path);   // new temporary file beside the target
//   WriteExact(out, data, length); ...  // any number of writes
//   CommitWrite(out);                   // flush, close, make durable, rename
// Until CommitWrite has renamed the temporary file, an exit through
// FatalError, or SIGINT, SIGTERM or SIGHUP, removes it, and the target is
// untouched. Only one replacement can be pending at a time.

// Creates a new, empty temporary file for binary writing in the directory of
// the file that path names (after following symbolic links), exclusively and
// with the target's permission bits. Fails with "Error opening %s: %s" naming
// the temporary file.
FILE* OpenForWriting(const char* path);

// Writes length bytes at the stream's position; a short write removes the
// temporary file and fails with "Error writing %s: %s" naming the target.
void WriteExact(FILE* stream, const void* data, size_t length);

// Seeks the pending temporary file back to offset (used to rewrite a header);
// fails like WriteExact.
void SeekTo(FILE* stream, long offset);

// Flushes, makes durable and closes the temporary file, then renames it over
// the target in one atomic step (on Windows, a replace-existing move). Any
// failure removes the temporary file and fails with "Error writing %s: %s"
// naming the target, which is then unchanged.
void CommitWrite(FILE* stream);
