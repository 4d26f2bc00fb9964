// The whole-text calls: split, spans, paragraphs, markup and decode, and
// split_many and spans_many, which segment a list of texts on several
// threads.
//
// A long text goes through in slices (Text::kSlice), with the GIL released
// for each and taken back between two, to build that slice's results and
// to run the signal handlers: Ctrl-C stops a call on a gigabyte within a
// slice.  Two threads then also build their results while the other
// segments, not both at the end.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "library_text.h"
#include "results.h"

namespace ptseg_python {

namespace {

// Segments the text slice by slice and hands each slice's sentences to
// add(), which runs with the GIL.
template <typename Add>
void ForEachSlice(Text& text, Add add) {
  std::vector<Sentence> sentences;
  while (!text.done()) {
    sentences.clear();
    {
      py::gil_scoped_release unlocked;
      text.Step(&sentences);
    }
    text.Check();
    add(sentences);
    CheckSignals();
  }
}

py::list Split(py::handle text, py::handle encoding, py::handle paragraphs, py::handle threads) {
  Text t(text, ParseOptions(encoding, paragraphs, threads));
  py::list list;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) {
    for (const Sentence& s : sentences) list.append(t.Slice(s));
  });
  return list;
}

py::list Spans(py::handle text, py::handle encoding, py::handle paragraphs, py::handle threads) {
  Text t(text, ParseOptions(encoding, paragraphs, threads));
  py::list list;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) { AppendSpans(sentences, list); });
  return list;
}

py::list Paragraphs(py::handle text, py::handle encoding, py::handle where, py::handle threads) {
  Text t(text, ParseOptions(encoding, where, threads));
  py::list paragraphs;
  py::list paragraph;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) {
    for (const Sentence& s : sentences) {
      if (s.paragraph == paragraphs.size()) {
        paragraph = py::list();
        paragraphs.append(paragraph);
      }
      paragraph.append(t.Slice(s));
    }
  });
  return paragraphs;
}

py::object Markup(py::handle text, py::handle encoding, py::handle paragraphs, py::handle threads) {
  Text t(text, ParseOptions(encoding, paragraphs, threads));
  std::string out;
  t.StartMarkup(&out);
  ForEachSlice(t, [](const std::vector<Sentence>&) {});
  if (!t.is_str()) return py::bytes(out);
  // The markup is ASCII, inserted between characters.
  PyObject* str =
      t.encoding() == ptseg::Encoding::kLatin1
          ? PyUnicode_DecodeLatin1(out.data(), static_cast<Py_ssize_t>(out.size()), "strict")
          : PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(str);
}

// Where text[start:end] begins and ends without the whitespace of ptsplit's
// lines format at either end; the no-break space and C1 controls (read as
// Windows-1252) are none.
py::tuple Strip(py::str text, Py_ssize_t start, Py_ssize_t end) {
  PyObject* object = text.ptr();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(object);
  start = std::clamp<Py_ssize_t>(start, 0, length);
  end = std::clamp<Py_ssize_t>(end, start, length);
  const int kind = PyUnicode_KIND(object);
  const void* data = PyUnicode_DATA(object);
  while (start < end && ptseg::IsWhitespace(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && ptseg::IsWhitespace(PyUnicode_READ(kind, data, end - 1))) --end;
  return py::make_tuple(start, end);
}

// Bytes as text, read the way the segmenter reads them.
py::str Decode(py::handle data, py::handle encoding) {
  const ptseg::Encoding e = ParseEncoding(encoding);
  const Bytes bytes(data, "data");
  std::string utf8;
  {
    py::gil_scoped_release unlocked;
    utf8.reserve(bytes.view().size());
    DecodeToUtf8(bytes.view(), e, &utf8);
  }
  PyObject* str = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

// A list of texts segmented on several threads, without the GIL.  The
// calling thread waits, and after each slice a worker finishes it takes the
// GIL to run the signal handlers; when one raises, the workers stop at
// their next slice.
class Batch {
 public:
  Batch(py::handle texts, py::handle encoding, py::handle threads)
      : items_(py::reinterpret_steal<py::list>(Copy(texts))) {
    const ptseg::Encoding e = ParseEncoding(encoding);
    threads_ = Threads(threads);
    for (py::handle item : items_) texts_.push_back(std::make_unique<Text>(item, e));
    sentences_.resize(texts_.size());
    errors_.resize(texts_.size());
  }

  // Segments every text.  Raises what a signal handler raised, else the
  // first text's error in the list's order.
  void Run() {
    bool interrupted = false;
    {
      py::gil_scoped_release unlocked;
      std::vector<std::thread> workers;
      try {
        const std::size_t n = std::min(threads_, texts_.size());
        for (std::size_t i = 0; i < n; ++i) workers.emplace_back([this] { Work(); });
        interrupted = Wait(workers.size());
      } catch (...) {
        Stop(workers);
        throw;
      }
      Stop(workers);
    }
    if (interrupted) throw py::error_already_set();
    for (std::size_t i = 0; i < texts_.size(); ++i) {
      texts_[i]->Check();
      if (errors_[i]) std::rethrow_exception(errors_[i]);
    }
  }

  py::list Sentences() const {
    py::list out;
    for (std::size_t i = 0; i < texts_.size(); ++i) {
      py::list list;
      for (const Sentence& s : sentences_[i]) list.append(texts_[i]->Slice(s));
      out.append(list);
    }
    return out;
  }

  py::list SpanLists() const {
    py::list out;
    for (const std::vector<Sentence>& sentences : sentences_) out.append(SpanList(sentences));
    return out;
  }

 private:
  // A list of its own, which no other thread can change meanwhile.
  static PyObject* Copy(py::handle texts) {
    PyObject* object = texts.ptr();
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        PyMemoryView_Check(object)) {
      throw py::type_error("texts must be a sequence of texts, not one text");
    }
    PyObject* list = PySequence_List(texts.ptr());
    if (list == nullptr) throw py::error_already_set();
    return list;
  }

  static std::size_t Threads(py::handle threads) {
    const unsigned n = ParseThreads(threads);
    return n != 0 ? n : std::max(1u, std::thread::hardware_concurrency());
  }

  void Work() {
    for (;;) {
      const std::size_t i = next_++;
      if (i >= texts_.size()) break;
      Text& text = *texts_[i];
      while (!text.done() && !stop_) {
        try {
          text.Step(&sentences_[i]);
        } catch (...) {
          errors_[i] = std::current_exception();
          break;
        }
        Signal([this] { ++slices_; });
      }
      if (stop_) break;
    }
    Signal([this] { ++finished_; });
  }

  template <typename F>
  void Signal(F f) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      f();
    }
    changed_.notify_one();
  }

  // Until the workers end or a signal handler raises (true).
  bool Wait(std::size_t workers) {
    std::size_t seen = 0;
    for (;;) {
      bool all_done;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return slices_ != seen || finished_ == workers; });
        seen = slices_;
        all_done = finished_ == workers;
      }
      py::gil_scoped_acquire gil;
      // A raised error stays set for this thread until the GIL is back.
      if (PyErr_CheckSignals() != 0) return true;
      if (all_done) return false;
    }
  }

  void Stop(std::vector<std::thread>& workers) {
    stop_ = true;
    for (std::thread& worker : workers) worker.join();
  }

  py::list items_;
  std::size_t threads_ = 1;
  std::vector<std::unique_ptr<Text>> texts_;
  std::vector<std::vector<Sentence>> sentences_;
  std::vector<std::exception_ptr> errors_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t slices_ = 0;
  std::size_t finished_ = 0;
};

py::list SplitMany(py::handle texts, py::handle encoding, py::handle threads) {
  Batch batch(texts, encoding, threads);
  batch.Run();
  return batch.Sentences();
}

py::list SpansMany(py::handle texts, py::handle encoding, py::handle threads) {
  Batch batch(texts, encoding, threads);
  batch.Run();
  return batch.SpanLists();
}

}  // namespace

void DefineCalls(py::module_& m) {
  // The public functions are Python functions in __init__.py, which pickle
  // by name (these cannot), and carry the documentation.
  m.def("split", &Split, "ptseg.split()");
  m.def("spans", &Spans, "ptseg.spans()");
  m.def("paragraphs", &Paragraphs, "ptseg.paragraphs()");
  m.def("markup", &Markup, "ptseg.markup()");
  m.def("split_many", &SplitMany, "ptseg.split_many()");
  m.def("spans_many", &SpansMany, "ptseg.spans_many()");
  m.def("decode", &Decode, "Bytes (bytes-like) as str, read as the segmenter reads them.");
  m.def(
      "encoding_of_text",
      [](py::handle encoding, py::bytes start) {
        return ptseg::EncodingName(ptseg::EncodingOfText(ParseEncoding(encoding), start));
      },
      "The encoding's name that text asked to be read in encoding is read in, told by its "
      "first bytes: a UTF-16 byte-order mark makes UTF-8 text UTF-16.");
  m.def("strip", &Strip, "(start, end) of text[start:end] without its whitespace at either end.",
        py::arg("text"), py::arg("start") = 0, py::arg("end") = PY_SSIZE_T_MAX);
}

}  // namespace ptseg_python
