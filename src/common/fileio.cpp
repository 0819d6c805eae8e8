// fileio.cpp: whole-file reading and file names, the same on every host;
// the host's calls (fileio_platform.h) do the work.
#include "common/fileio.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "common/fileio_platform.h"

namespace {

// Closes a file on every path out of a read.
struct ReadHandle {
  FileHandle file = kNoFile;
  ~ReadHandle() {
    if (file != kNoFile) CloseFile(file);
  }
};

[[noreturn]] void Raise(const char* what, const std::string& path, const FileStatus& status) {
  throw FileFailure(std::string(what) + " " + path + ": " + status.text);
}

// Refuses anything but a regular file smaller than 2 GiB.
void CheckReadable(const std::string& path, FileHandle file, HandleFacts& facts) {
  if (FileStatus status = FactsOf(file, facts); !status.ok()) Raise("Error reading", path, status);
  if (facts.folder) throw FileFailure("Error opening " + path + ": " + std::strerror(EISDIR));
  if (!facts.regular) throw FileFailure("Error opening " + path + ": not a regular file");
  if (facts.stamp.size > INT32_MAX) throw FileTooLarge(path, facts.stamp.size);
}

}  // namespace

FileBytes ReadOpenedFile(FileHandle file, const std::string& path, HandleFacts& facts) {
  CheckReadable(path, file, facts);
  FileBytes bytes;
  bytes.stamp = facts.stamp;
  bytes.size = static_cast<int32_t>(bytes.stamp.size);
  try {
    bytes.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(bytes.size));
  } catch (const std::bad_alloc&) {
    throw FileFailure("Error reading " + path + ": not enough memory to hold its " + std::to_string(bytes.size) +
                      " bytes");
  }
  for (size_t done = 0; done < static_cast<size_t>(bytes.size);) {
    size_t got = 0;
    FileStatus status = ReadAt(file, static_cast<int64_t>(done), bytes.data.get() + done,
                               static_cast<size_t>(bytes.size) - done, got);
    if (!status.ok()) throw FileFailure("File read failure (" + path + ": " + status.text + ")");
    if (got == 0)
      throw FileFailure("File read failure (" + path + ": the file ended after " + std::to_string(done) +
                        " of its " + std::to_string(bytes.size) + " bytes)");
    done += got;
  }
  return bytes;
}

FileBytes ReadWholeFile(const std::string& path) {
  ReadHandle file;
  // Note: only a name that leads to no file is a missing one; any other
  // failure (no permission, say) is told as it is.
  if (FileStatus status = OpenForReading(path, file.file); !status.ok()) {
    if (status.kind == FileStatus::kMissing) throw FileNotFound(path);
    Raise("Error opening", path, status);
  }
  HandleFacts facts;
  return ReadOpenedFile(file.file, path, facts);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameInFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

