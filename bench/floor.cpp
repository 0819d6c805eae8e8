// floor.cpp: the least work any safe in-place rewrite of a file does, as the
// yardstick for the tool's own time and memory.
// Reads the file whole through stdio into one buffer, writes it to a new
// temporary file beside it, flushes and fsyncs that file, renames it over the
// original and fsyncs the folder: the same steps, in the same order, as the
// tool's load and save of a map, without looking at the bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "floor: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(1);
}

// Returns the file's bytes and their count.
std::unique_ptr<unsigned char[]> ReadAll(const std::string& path, size_t& length, mode_t& mode) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) Fail("cannot open", path);
  struct stat st;
  if (fstat(fileno(in), &st) != 0) Fail("cannot stat", path);
  length = static_cast<size_t>(st.st_size);
  mode = st.st_mode & 07777;
  std::unique_ptr<unsigned char[]> data(new unsigned char[length + 1]);
  if (std::fread(data.get(), 1, length, in) != length) Fail("cannot read", path);
  std::fclose(in);
  return data;
}

// Writes the bytes to a temporary file beside path, makes it durable and
// renames it over path, then makes the rename durable.
void ReplaceWith(const std::string& path, const unsigned char* data, size_t length, mode_t mode) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) Fail("cannot create", temp);
  if (fchmod(fd, mode) != 0) Fail("cannot chmod", temp);
  FILE* out = fdopen(fd, "wb");
  if (!out) Fail("cannot open", temp);
  if (std::fwrite(data, 1, length, out) != length) Fail("cannot write", temp);
  if (std::fflush(out) != 0 || fsync(fileno(out)) != 0) Fail("cannot sync", temp);
  if (std::fclose(out) != 0) Fail("cannot close", temp);
  if (std::rename(temp.c_str(), path.c_str()) != 0) Fail("cannot rename", temp);
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dir_fd = open(dir.c_str(), O_RDONLY);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor FILE\n");
    return 2;
  }
  size_t length = 0;
  mode_t mode = 0;
  std::unique_ptr<unsigned char[]> data = ReadAll(argv[1], length, mode);
  ReplaceWith(argv[1], data.get(), length, mode);
  return 0;
}
