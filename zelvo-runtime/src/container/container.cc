#include "container/container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "model/json_decoder.h"

namespace zelvo {
namespace {

constexpr std::string_view kShortRead = "failed to fill whole buffer";

LoadError io_error(std::string text) {
  LoadError e;
  e.kind = LoadError::Kind::Io;
  e.text = std::move(text);
  return e;
}

// The operating system's text for an error number, as "<text> (os error N)".
std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::uint32_t le_u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t le_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// Bytes in memory: reads are views into the caller's data.
class MemorySource {
 public:
  explicit MemorySource(std::string_view data) : data_(data) {}

  bool read_exact(unsigned char* out, std::size_t n, LoadError& err) {
    if (data_.size() - pos_ < n) {
      err = io_error(std::string(kShortRead));
      return false;
    }
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }

  bool read_payload(std::size_t n, std::string_view& out, LoadError& err) {
    if (data_.size() - pos_ < n) {
      err = io_error(std::string(kShortRead));
      return false;
    }
    out = data_.substr(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

// An open file descriptor, closed on every path.
class FileSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() { ::close(fd_); }

  bool read_exact(unsigned char* out, std::size_t n, LoadError& err) {
    std::size_t got = 0;
    while (got < n) {
      std::size_t step = 0;
      if (!read_some(out + got, n - got, step, err)) return false;
      got += step;
    }
    return true;
  }

  // Grows the buffer only as data actually arrives, so a declared length
  // that the file cannot supply never turns into an allocation.
  bool read_payload(std::size_t n, std::string_view& out, LoadError& err) {
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      buffer_.reserve(std::min(n, static_cast<std::size_t>(st.st_size)));
    }
    while (buffer_.size() < n) {
      const std::size_t old = buffer_.size();
      const std::size_t want = std::min(kChunk, n - old);
      buffer_.resize(old + want);
      std::size_t step = 0;
      if (!read_some(reinterpret_cast<unsigned char*>(buffer_.data()) + old, want, step, err)) return false;
      buffer_.resize(old + step);
    }
    out = buffer_;
    return true;
  }

 private:
  // One read of at least one byte; end of file is the short-read failure.
  bool read_some(unsigned char* out, std::size_t n, std::size_t& got, LoadError& err) {
    for (;;) {
      const ssize_t r = ::read(fd_, out, n);
      if (r > 0) {
        got = static_cast<std::size_t>(r);
        return true;
      }
      if (r == 0) {
        err = io_error(std::string(kShortRead));
        return false;
      }
      if (errno != EINTR) {
        err = io_error(os_error_text(errno));
        return false;
      }
    }
  }

  int fd_;
  std::string buffer_;
};

// The fields strictly in file order, stopping at the first failure.
template <typename Source>
Expected<CompiledPolicy, LoadError> read_container(Source& src) {
  LoadError err;
  unsigned char field[4];
  if (!src.read_exact(field, 4, err)) return unexpected(std::move(err));
  if (le_u32(field) != kContainerMagic) {
    LoadError bad;
    bad.kind = LoadError::Kind::BadMagic;
    return unexpected(std::move(bad));
  }
  if (!src.read_exact(field, 2, err)) return unexpected(std::move(err));
  const std::uint16_t version = le_u16(field);
  if (version != kContainerVersion) {
    LoadError bad;
    bad.kind = LoadError::Kind::UnsupportedVersion;
    bad.found_version = version;
    return unexpected(std::move(bad));
  }
  if (!src.read_exact(field, 2, err)) return unexpected(std::move(err));  // reserved: not interpreted
  if (!src.read_exact(field, 4, err)) return unexpected(std::move(err));
  const std::uint32_t length = le_u32(field);
  std::string_view payload;
  if (!src.read_payload(length, payload, err)) return unexpected(std::move(err));
  auto decoded = parse_policy_json_bytes(payload);
  if (!decoded) {
    LoadError bad;
    bad.kind = LoadError::Kind::Serialization;
    bad.text = decoded.error().message();
    return unexpected(std::move(bad));
  }
  return std::move(decoded).value();
}

}  // namespace

std::string LoadError::message() const {
  switch (kind) {
    case Kind::Io: return "I/O error: " + text;
    case Kind::Serialization: return "serialization error: " + text;
    case Kind::BadMagic: return "not a valid .zelvoc file (bad magic bytes)";
    case Kind::UnsupportedVersion:
      return "unsupported format version " + std::to_string(found_version) + " (expected " +
             std::to_string(kContainerVersion) + ")";
  }
  return {};
}

Expected<CompiledPolicy, LoadError> load_policy_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return unexpected(io_error("file name contained an unexpected NUL byte"));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(io_error(os_error_text(errno)));
  FileSource src(fd);
  return read_container(src);
}

Expected<CompiledPolicy, LoadError> load_policy_bytes(std::string_view data) {
  MemorySource src(data);
  return read_container(src);
}

std::string make_container(std::string_view payload, std::uint16_t version, std::uint16_t reserved) {
  std::string out;
  out.reserve(kContainerHeaderSize + payload.size());
  auto put = [&out](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(kContainerMagic, 4);
  put(version, 2);
  put(reserved, 2);
  put(static_cast<std::uint32_t>(payload.size()), 4);
  out.append(payload);
  return out;
}

}  // namespace zelvo
