// ptseg.Segmenter, the streaming segmenter.  One lock guards the stream:
// calls from several threads take turns instead of corrupting it.  The
// lock is only ever taken without the GIL, so a thread that holds it may
// take the GIL (to check for signals) without a deadlock.  The signal
// handlers then run on the thread that holds the lock, so a call of theirs
// on the same Segmenter is refused: it would wait for itself.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>

#include "results.h"

namespace ptseg_python {

namespace {

class StreamSegmenter {
 public:
  explicit StreamSegmenter(py::handle encoding)
      : encoding_(ParseEncoding(encoding)), segmenter_(encoding_) {}

  const char* encoding() const { return ptseg::EncodingName(encoding_); }

  py::list Feed(py::handle data) {
    const Bytes bytes(data, "data");
    std::vector<Sentence> sentences;
    bool interrupted = false;
    {
      py::gil_scoped_release unlocked;
      const Held held(this, "feed");
      CheckUsable("feed");
      std::string_view rest = bytes.view();
      while (!rest.empty() && !interrupted) {
        const std::string_view slice = rest.substr(0, Text::kSlice);
        rest.remove_prefix(slice.size());
        segmenter_.Feed(slice);
        list_.Add(segmenter_.TakeBoundaries(), &sentences);
        if (!rest.empty()) interrupted = Interrupted();
      }
    }
    if (interrupted) throw py::error_already_set();
    return SpanList(sentences);
  }

  py::list Finish() {
    std::vector<Sentence> sentences;
    {
      py::gil_scoped_release unlocked;
      const Held held(this, "finish");
      if (!segmenter_.finished() || segmenter_.failed() || interrupted_) {
        CheckUsable("finish");
        segmenter_.Finish();
        list_.Add(segmenter_.TakeBoundaries(), &sentences);
        list_.End(segmenter_.size(), &sentences);
      }
    }
    return SpanList(sentences);
  }

 private:
  // The stream's lock, held by the thread that made it.
  class Held {
   public:
    Held(StreamSegmenter* stream, const char* call) : stream_(stream) {
      if (stream->owner_.load() == std::this_thread::get_id()) {
        throw std::runtime_error(std::string(call) +
                                 "() during a feed() of the same Segmenter on this thread, as from "
                                 "a signal handler");
      }
      lock_ = std::unique_lock<std::mutex>(stream->mutex_);
      stream->owner_ = std::this_thread::get_id();
    }
    ~Held() { stream_->owner_ = std::thread::id(); }  // before lock_ lets go
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    StreamSegmenter* stream_;
    std::unique_lock<std::mutex> lock_;
  };

  // Errors raised here reach Python once the GIL is back.  After an error
  // (a look-ahead past the ceiling, no memory) the library's Segmenter
  // cannot go on, and sentences may have been lost; nor after a piece was
  // fed only in part.
  void CheckUsable(const char* call) const {
    if (segmenter_.failed() || interrupted_) {
      throw py::value_error(std::string(call) + "() on a Segmenter that failed: start a new one");
    }
    if (segmenter_.finished()) throw py::value_error(std::string(call) + "() after finish()");
  }

  // Whether a signal handler raised, its error left set for this thread.
  // The piece was fed only in part, so the stream cannot go on.
  bool Interrupted() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    interrupted_ = true;
    return true;
  }

  const ptseg::Encoding encoding_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  ptseg::Segmenter segmenter_;
  SentenceList list_;
  bool interrupted_ = false;
};

// The Segmenter behind self.  An instance made by __new__ alone, or by a
// subclass's __new__ without Segmenter.__init__, has raw memory there.
StreamSegmenter& Self(py::handle self) {
  const py::detail::type_info* type = py::detail::get_type_info(typeid(StreamSegmenter));
  if (!PyObject_TypeCheck(self.ptr(), type->type)) {
    throw py::type_error(std::string("a Segmenter method called on ") +
                         Py_TYPE(self.ptr())->tp_name);
  }
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  py::detail::value_and_holder v_h = instance->get_value_and_holder(type);
  if (!v_h.holder_constructed()) {
    throw py::type_error("Segmenter.__init__() was not called: make it with ptseg.Segmenter()");
  }
  return *static_cast<StreamSegmenter*>(v_h.value_ptr());
}

constexpr char kSegmenterDoc[] = R"(Segments a stream of bytes fed in pieces of any size.

feed() each piece, then finish(); each returns the Spans of the sentences it
completed, in byte offsets from the start of the stream, paragraphs
numbered across the whole stream.  The Spans are the same however the
stream is cut.  Calls from several threads take turns; one from a signal
handler that runs during a feed() of the same Segmenter raises RuntimeError.)";

constexpr char kInitDoc[] = R"(__init__(self, /, encoding='utf-8')
--

A Segmenter for a new stream, read in encoding: 'utf-8' (bytes that are not
valid UTF-8 read as Windows-1252), 'latin-1', 'utf-16le' or 'utf-16be'.)";

constexpr char kFeedDoc[] = R"(feed(self, data, /)
--

Segments the next bytes of the stream (bytes-like) and returns the Spans of
the sentences they complete.  Raises ptseg.Error when one look-ahead would
need more than 256 MiB; the Segmenter is then unusable.)";

constexpr char kFinishDoc[] = R"(finish(self, /)
--

Ends the stream and returns the Spans of the sentences left.  feed() may
not follow; finish() again returns [].)";

}  // namespace

void DefineSegmenter(py::module_& m) {
  py::class_<StreamSegmenter>(m, "Segmenter", kSegmenterDoc)
      .def(py::init<py::handle>(), kInitDoc, py::arg_v("encoding", "utf-8"))
      .def(
          "feed", [](py::handle self, py::handle data) { return Self(self).Feed(data); }, kFeedDoc,
          py::arg("data"))
      .def(
          "finish", [](py::handle self) { return Self(self).Finish(); }, kFinishDoc)
      .def_property_readonly(
          "encoding", [](py::handle self) { return Self(self).encoding(); },
          "The encoding's name as the segmenter reads it: 'utf-8', 'latin-1', 'utf-16le' or "
          "'utf-16be'.");
}

}  // namespace ptseg_python
