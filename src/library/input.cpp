// Reading one input: the raw bytes from the file descriptor, the format
// told by its first bytes, and a decompressor per format, each handing
// back text as soon as it has some (see ptseg/input.h).
#include "ptseg/input.h"

#include <bzlib.h>
#include <errno.h>
#include <fcntl.h>
#include <lzma.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ptseg {

namespace {

constexpr std::size_t kRawBuffer = 256 * 1024;
constexpr std::size_t kReadAlign = 64;
constexpr std::size_t kFirstBlock = 64 * 1024;
constexpr const char* kTruncated = "unexpected end of compressed data";
constexpr const char* kGarbage = "trailing garbage after compressed data";

// The raw bytes of the input, read into a buffer as they are needed.
class Source {
 public:
  Source(int fd, const std::string& name, const std::function<void()>& interrupted,
         const std::function<void()>& before_wait)
      : fd_(fd),
        name_(name),
        interrupted_(interrupted),
        before_wait_(before_wait),
        block_(new char[kRawBuffer + kReadAlign]) {
    const auto at = reinterpret_cast<std::uintptr_t>(block_.get());
    buf_ = block_.get() + (kReadAlign - at % kReadAlign) % kReadAlign;
  }

  char* data() { return buf_ + pos_; }
  std::size_t available() const { return len_ - pos_; }
  void Consume(std::size_t n) { pos_ += n; }

  // Reads what the input gives at once after the bytes at hand; false at
  // its end.
  bool Fill() {
    if (eof_) return false;
    if (pos_ == len_) pos_ = len_ = 0;
    if (len_ == kRawBuffer) {
      std::memmove(buf_, data(), available());
      len_ -= pos_;
      pos_ = 0;
    }
    const std::size_t n = ReadFd(buf_ + len_, kRawBuffer - len_);
    len_ += n;
    return n > 0;
  }

  // Hands over the bytes at hand, or else reads straight into `out`.
  std::size_t Copy(char* out, std::size_t size) {
    if (available() > 0) {
      const std::size_t n = std::min(size, available());
      std::memcpy(out, data(), n);
      pos_ += n;
      return n;
    }
    return eof_ ? 0 : ReadFd(out, size);
  }

  [[noreturn]] void Fail(const std::string& reason) const { throw InputError(name_, reason); }

 private:
  std::size_t ReadFd(char* out, std::size_t size) {
    if (before_wait_ && !ReadyNow()) before_wait_();
    for (;;) {
      const ssize_t n = ::read(fd_, out, size);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n == 0) {
        eof_ = true;
        return 0;
      }
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && NonBlocking()) {
        // Waits as a blocking read does (a receive timeout still fails).
        pollfd wanted{fd_, POLLIN, 0};
        if (poll(&wanted, 1, -1) >= 0) continue;
      }
      if (errno != EINTR) Fail(std::strerror(errno));
      if (interrupted_) interrupted_();
    }
  }

  // Whether fd_ is in non-blocking mode; errno is kept.
  bool NonBlocking() const {
    const int error = errno;
    const int flags = fcntl(fd_, F_GETFL);
    errno = error;
    return flags != -1 && (flags & O_NONBLOCK) != 0;
  }

  // Whether a read of fd_ would not wait: it has bytes or its end at hand
  // (or an error, which the read tells).
  bool ReadyNow() const {
    pollfd wanted{fd_, POLLIN, 0};
    return poll(&wanted, 1, 0) != 0;
  }

  const int fd_;
  const std::string& name_;
  const std::function<void()>& interrupted_;  // the Input's interrupt check
  const std::function<void()>& before_wait_;  // and its call before a wait
  // kRawBuffer bytes from buf_, the first 64-byte boundary in block_:
  // the kernel copies a file's bytes to some other addresses much more
  // slowly.
  std::unique_ptr<char[]> block_;
  char* buf_;
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

// A format's signature: per byte, the range of values it may take.
struct Signature {
  Compression format;
  std::size_t size;
  unsigned char low[10], high[10];
};
// bzip2: "BZh", the block size, then the magic of the first block or of
// the end of the stream (an empty stream), which no text holds.
constexpr Signature kSignatures[] = {
    {Compression::kGzip, 3, {0x1F, 0x8B, 0x08}, {0x1F, 0x8B, 0x08}},
    {Compression::kXz, 6, {0xFD, '7', 'z', 'X', 'Z', 0}, {0xFD, '7', 'z', 'X', 'Z', 0}},
    {Compression::kZstd, 4, {0x28, 0xB5, 0x2F, 0xFD}, {0x28, 0xB5, 0x2F, 0xFD}},
    // A skippable frame first (as parallel compressors write).
    {Compression::kZstd, 4, {0x50, 0x2A, 0x4D, 0x18}, {0x5F, 0x2A, 0x4D, 0x18}},
    {Compression::kBzip2,
     10,
     {'B', 'Z', 'h', '1', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59},
     {'B', 'Z', 'h', '9', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59}},
    {Compression::kBzip2,
     10,
     {'B', 'Z', 'h', '1', 0x17, 0x72, 0x45, 0x38, 0x50, 0x90},
     {'B', 'Z', 'h', '9', 0x17, 0x72, 0x45, 0x38, 0x50, 0x90}},
};

// How `n` bytes at p compare with a signature: 1 whole, 0 a proper prefix
// of it, -1 different.
int Compare(const Signature& s, const char* p, std::size_t n) {
  for (std::size_t i = 0; i < s.size; ++i) {
    if (i == n) return 0;
    const auto byte = static_cast<unsigned char>(p[i]);
    if (byte < s.low[i] || byte > s.high[i]) return -1;
  }
  return 1;
}

// What follows a member, stream or frame that has ended.
enum class After { kMember, kEnd, kUntold };

// Tells what follows a member, stream or frame that has ended: another
// one, or the end of the input (perhaps after zero bytes padding it);
// "trailing garbage" for other bytes.  Reads on for the bytes that tell
// only when `wait`, since a caller with text at hand must not wait for
// input: kUntold then, when the bytes at hand do not tell.  *zeros notes,
// from one call to the next, that padding has begun.
After NextMember(Source& src, Compression format, bool wait, bool* zeros) {
  // Zeros to the end (a tape's padding) are not data; anything after them
  // is garbage, wherever the reads fall.
  for (;;) {
    if (src.available() == 0) {
      if (!wait) return After::kUntold;
      if (!src.Fill()) return After::kEnd;
    }
    if (*src.data() != 0) {
      if (*zeros) src.Fail(kGarbage);
      break;
    }
    *zeros = true;
    while (src.available() > 0 && *src.data() == 0) src.Consume(1);
  }
  for (const Signature& s : kSignatures) {
    if (s.format != format) continue;
    for (;;) {
      const int c = Compare(s, src.data(), src.available());
      if (c > 0) return After::kMember;
      if (c < 0) break;
      if (!wait) return After::kUntold;
      if (!src.Fill()) src.Fail(kTruncated);
    }
  }
  src.Fail(kGarbage);
}

// Decompresses into the space it is given as far as the input at hand
// allows, reading from the input only when nothing has been produced yet.
class Decoder {
 public:
  explicit Decoder(Source& src) : src_(src) {}
  virtual ~Decoder() = default;

  // Decompresses into `out`; returns at least 1 byte, or 0 at the end of
  // the data.  A failure met after some text was produced is thrown by the
  // next call, so that the text before it is handed over first.
  std::size_t Decode(char* out, std::size_t size) {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    Begin(out, size);
    try {
      Run();
    } catch (const InputError&) {
      if (Produced() == 0) throw;
      failure_ = std::current_exception();
    }
    return Produced();
  }

 protected:
  // The space of this call, then the work, then what of it was filled.
  virtual void Begin(char* out, std::size_t size) = 0;
  virtual void Run() = 0;
  virtual std::size_t Produced() const = 0;

  // Makes input available: false at the end of the input, or when output
  // is at hand and waiting for input could block.
  bool More(std::size_t produced) {
    if (src_.available() > 0) return true;
    if (produced > 0) return false;
    return src_.Fill();
  }
  Source& src_;

 private:
  std::exception_ptr failure_;
};

class GzipDecoder final : public Decoder {
 public:
  explicit GzipDecoder(Source& src) : Decoder(src) {
    if (inflateInit2(&z_, 15 + 32) != Z_OK) src_.Fail("out of memory");
  }
  ~GzipDecoder() override { inflateEnd(&z_); }

  void Begin(char* out, std::size_t size) override {
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = room_ = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
  }
  std::size_t Produced() const override { return room_ - z_.avail_out; }

  void Run() override {
    while (z_.avail_out > 0 && !done_) {
      const std::size_t produced = Produced();
      if (between_) {
        const After next = NextMember(src_, Compression::kGzip, produced == 0, &zeros_);
        if (next == After::kUntold) break;
        if (next == After::kEnd) {
          done_ = true;
          break;
        }
        inflateReset(&z_);
        between_ = false;
      }
      if (!More(produced)) {
        if (produced > 0) break;
        src_.Fail(kTruncated);
      }
      z_.next_in = reinterpret_cast<Bytef*>(src_.data());
      z_.avail_in = static_cast<uInt>(std::min<std::size_t>(src_.available(), 1u << 30));
      const uInt given = z_.avail_in;
      const int r = inflate(&z_, Z_NO_FLUSH);
      src_.Consume(given - z_.avail_in);
      if (r == Z_STREAM_END) {
        between_ = true;
      } else if (r == Z_NEED_DICT) {
        src_.Fail("compressed data needs a preset dictionary");
      } else if (r == Z_MEM_ERROR) {
        src_.Fail("out of memory");
      } else if (r != Z_OK && r != Z_BUF_ERROR) {
        src_.Fail(z_.msg ? z_.msg : "compressed data is corrupt");
      }
    }
  }

 private:
  z_stream z_{};
  uInt room_ = 0;
  bool between_ = false, zeros_ = false, done_ = false;
};

class XzDecoder final : public Decoder {
 public:
  explicit XzDecoder(Source& src) : Decoder(src) {
    if (lzma_stream_decoder(&x_, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
      src_.Fail("out of memory");
  }
  ~XzDecoder() override { lzma_end(&x_); }

  void Begin(char* out, std::size_t size) override {
    x_.next_out = reinterpret_cast<std::uint8_t*>(out);
    x_.avail_out = room_ = size;
  }
  std::size_t Produced() const override { return room_ - x_.avail_out; }

  void Run() override {
    while (x_.avail_out > 0 && !done_) {
      const std::size_t produced = Produced();
      lzma_action action = LZMA_RUN;
      if (!More(produced)) {
        if (produced > 0) break;
        action = LZMA_FINISH;
      }
      x_.next_in = reinterpret_cast<const std::uint8_t*>(src_.data());
      x_.avail_in = src_.available();
      const lzma_ret r = lzma_code(&x_, action);
      src_.Consume(src_.available() - x_.avail_in);
      switch (r) {
        case LZMA_OK:
          break;
        case LZMA_STREAM_END:
          done_ = true;
          break;
        case LZMA_BUF_ERROR:
          src_.Fail(kTruncated);
        case LZMA_MEM_ERROR:
          src_.Fail("out of memory");
        case LZMA_FORMAT_ERROR:
          src_.Fail("file format not recognized");
        case LZMA_OPTIONS_ERROR:
          src_.Fail("unsupported compression options");
        case LZMA_DATA_ERROR:
          src_.Fail("compressed data is corrupt");
        default:
          src_.Fail("xz decoder error " + std::to_string(static_cast<int>(r)));
      }
    }
  }

 private:
  lzma_stream x_ = LZMA_STREAM_INIT;
  std::size_t room_ = 0;
  bool done_ = false;
};

class Bzip2Decoder final : public Decoder {
 public:
  explicit Bzip2Decoder(Source& src) : Decoder(src) { Start(); }
  ~Bzip2Decoder() override {
    if (open_) BZ2_bzDecompressEnd(&b_);
  }

  void Begin(char* out, std::size_t size) override {
    b_.next_out = out;
    b_.avail_out = room_ = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
  }
  std::size_t Produced() const override { return room_ - b_.avail_out; }

  void Run() override {
    while (b_.avail_out > 0 && !done_) {
      const std::size_t produced = Produced();
      if (!open_) {
        const After next = NextMember(src_, Compression::kBzip2, produced == 0, &zeros_);
        if (next == After::kUntold) break;
        if (next == After::kEnd) {
          done_ = true;
          break;
        }
        Start();
      }
      const bool input = More(produced);
      if (!input && produced > 0) break;
      b_.next_in = src_.data();
      b_.avail_in = static_cast<unsigned>(std::min<std::size_t>(src_.available(), 1u << 30));
      const unsigned given = b_.avail_in, space = b_.avail_out;
      const int r = BZ2_bzDecompress(&b_);
      src_.Consume(given - b_.avail_in);
      if (r == BZ_STREAM_END) {
        BZ2_bzDecompressEnd(&b_);
        open_ = false;
      } else if (r == BZ_OK) {
        // At the end of the input, a stream that neither ends nor gives
        // any more text was cut short.
        if (!input && b_.avail_out == space) src_.Fail(kTruncated);
      } else if (r == BZ_MEM_ERROR) {
        src_.Fail("out of memory");
      } else if (r == BZ_DATA_ERROR_MAGIC) {
        src_.Fail("bad magic number in compressed data");
      } else {
        src_.Fail("compressed data is corrupt");
      }
    }
  }

 private:
  // A new stream, into the output space that is left.
  void Start() {
    char* const next_out = b_.next_out;
    const unsigned avail_out = b_.avail_out;
    b_ = bz_stream{};
    b_.next_out = next_out;
    b_.avail_out = avail_out;
    if (BZ2_bzDecompressInit(&b_, 0, 0) != BZ_OK) src_.Fail("out of memory");
    open_ = true;
  }
  bz_stream b_{};
  unsigned room_ = 0;
  bool open_ = false, zeros_ = false, done_ = false;
};

class ZstdDecoder final : public Decoder {
 public:
  explicit ZstdDecoder(Source& src) : Decoder(src), z_(ZSTD_createDStream()) {
    if (!z_) src_.Fail("out of memory");
  }
  ~ZstdDecoder() override { ZSTD_freeDStream(z_); }

  void Begin(char* out, std::size_t size) override { o_ = ZSTD_outBuffer{out, size, 0}; }
  std::size_t Produced() const override { return o_.pos; }

  void Run() override {
    ZSTD_outBuffer& o = o_;
    while (o.pos < o.size && !done_) {
      const bool input = More(o.pos);
      if (!input && o.pos > 0) break;
      if (!input && pending_ == 0) {  // the last frame was whole
        done_ = true;
        break;
      }
      ZSTD_inBuffer in{src_.data(), src_.available(), 0};
      const std::size_t before = o.pos;
      const std::size_t r = ZSTD_decompressStream(z_, &o, &in);
      src_.Consume(in.pos);
      if (ZSTD_isError(r)) src_.Fail(ZSTD_getErrorName(r));
      pending_ = r;
      if (!input && o.pos == before && r != 0) src_.Fail(kTruncated);
    }
  }

 private:
  ZSTD_DStream* z_;
  ZSTD_outBuffer o_{};
  std::size_t pending_ = 1;  // 0 when a frame has just ended
  bool done_ = false;
};

}  // namespace

class Input::Impl {
 public:
  Impl(int fd, std::string name)
      : name_(std::move(name)), src_(fd, name_, interrupt_check_, before_wait_) {}

  std::size_t Read(char* buf, std::size_t size) {
    if (error_) throw *error_;
    try {
      return ReadOnce(buf, size);
    } catch (const InputError& e) {
      error_ = e;
      throw;
    } catch (...) {
      // The interrupt check's or the call before a wait's exception, or
      // std::bad_alloc: a decoder may
      // have stopped halfway through its bytes.
      error_ = InputError(name_, "an earlier read was stopped");
      throw;
    }
  }

  std::function<void()> interrupt_check_;
  std::function<void()> before_wait_;
  const std::string name_;
  Compression compression_ = Compression::kNone;
  Bom bom_ = Bom::kNone;
  bool binary_ = false;

 private:
  std::size_t ReadOnce(char* buf, std::size_t size) {
    if (!started_) Start();
    if (size == 0) return 0;
    if (head_pos_ < head_.size()) {
      const std::size_t n = std::min(size, head_.size() - head_pos_);
      std::memcpy(buf, head_.data() + head_pos_, n);
      head_pos_ += n;
      if (head_pos_ == head_.size()) std::string().swap(head_);
      return n;
    }
    if (failed_later_) throw *failed_later_;
    return Produce(buf, size);
  }

  std::size_t Produce(char* buf, std::size_t size) {
    return decoder_ ? decoder_->Decode(buf, size) : src_.Copy(buf, size);
  }

  // Tells the format, then decompresses the first block, to see what the
  // text starts with.
  void Start() {
    started_ = true;
    for (;;) {
      bool prefix = false;
      for (const Signature& s : kSignatures) {
        const int c = Compare(s, src_.data(), src_.available());
        if (c > 0) compression_ = s.format;
        prefix |= c == 0;
      }
      if (compression_ != Compression::kNone || !prefix || !src_.Fill()) break;
    }
    switch (compression_) {
      case Compression::kNone:
        break;
      case Compression::kGzip:
        decoder_.reset(new GzipDecoder(src_));
        break;
      case Compression::kXz:
        decoder_.reset(new XzDecoder(src_));
        break;
      case Compression::kBzip2:
        decoder_.reset(new Bzip2Decoder(src_));
        break;
      case Compression::kZstd:
        decoder_.reset(new ZstdDecoder(src_));
        break;
    }
    head_.resize(kFirstBlock);
    std::size_t got = 0;
    // Reads on only while the text so far may still become a byte-order mark.
    static constexpr std::string_view kBomStarts[] = {"", "\xEF", "\xEF\xBB", "\xFF", "\xFE"};
    while (got < kFirstBlock &&
           std::find(std::begin(kBomStarts), std::end(kBomStarts),
                     std::string_view(head_.data(), got)) != std::end(kBomStarts)) {
      std::size_t n = 0;
      try {
        n = Produce(&head_[got], kFirstBlock - got);
      } catch (const InputError& e) {
        if (got == 0) throw;
        failed_later_ = e;  // the text before the failure goes first
      }
      if (n == 0) break;
      got += n;
    }
    head_.resize(got);
    const std::string_view h(head_);
    if (h.substr(0, 3) == "\xEF\xBB\xBF")
      bom_ = Bom::kUtf8;
    else if (h.substr(0, 2) == "\xFF\xFE")
      bom_ = Bom::kUtf16Le;
    else if (h.substr(0, 2) == "\xFE\xFF")
      bom_ = Bom::kUtf16Be;
    binary_ =
        h.find('\0') != std::string_view::npos && bom_ != Bom::kUtf16Le && bom_ != Bom::kUtf16Be;
  }

  Source src_;
  std::unique_ptr<Decoder> decoder_;
  bool started_ = false;
  std::string head_;  // the first block, until Read has handed it over
  std::size_t head_pos_ = 0;
  std::optional<InputError> error_;         // thrown, and thrown again
  std::optional<InputError> failed_later_;  // met filling the first block, thrown after it
};

Input::Input(int fd, std::string name) : impl_(new Impl(fd, std::move(name))) {}
Input::~Input() = default;
Input::Input(Input&&) noexcept = default;
Input& Input::operator=(Input&&) noexcept = default;

std::size_t Input::Read(char* buf, std::size_t size) { return impl_->Read(buf, size); }
void Input::set_interrupt_check(std::function<void()> check) {
  impl_->interrupt_check_ = std::move(check);
}
void Input::set_before_wait(std::function<void()> call) { impl_->before_wait_ = std::move(call); }
Compression Input::compression() const { return impl_->compression_; }
Input::Bom Input::bom() const { return impl_->bom_; }
bool Input::looks_binary() const { return impl_->binary_; }
const std::string& Input::name() const { return impl_->name_; }

const char* CompressionName(Compression compression) {
  switch (compression) {
    case Compression::kGzip:
      return "gzip";
    case Compression::kXz:
      return "xz";
    case Compression::kBzip2:
      return "bzip2";
    case Compression::kZstd:
      return "zstd";
    case Compression::kNone:
      break;
  }
  return "";
}

}  // namespace ptseg
