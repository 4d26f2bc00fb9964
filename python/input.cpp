// ptseg._ptseg.Input: a file read through the library's input reader, so
// that compressed files read as their text in Python as in ptsplit.
#include "ptseg/input.h"

#include <fcntl.h>
#include <pybind11/pybind11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "results.h"

namespace ptseg_python {
namespace {

namespace py = pybind11;

// The file at a path, opened for reading, decompressed as it is read.
class InputFile {
 public:
  explicit InputFile(const std::string& path) {
    // As open() does: the system would read the name only up to the NUL.
    if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    // Without the GIL, as open() does: a FIFO's open waits for a writer,
    // which may be another thread of this process.  Ctrl-C stops the wait.
    for (;;) {
      int error;
      {
        py::gil_scoped_release unlocked;
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        error = errno;
      }
      if (fd_ >= 0) {
        // The system opens a folder and fails its reads; open() refuses
        // it at once, with IsADirectoryError.
        struct stat info;
        if (fstat(fd_, &info) != 0 || !S_ISDIR(info.st_mode)) break;
        close(fd_);
        fd_ = -1;
        error = EISDIR;
      }
      if (error != EINTR) {
        errno = error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
      }
      CheckSignals();
    }
    try {
      input_ = std::make_unique<ptseg::Input>(fd_, path);
      // Reads run without the GIL, and Ctrl-C stops one that waits, as it
      // stops a read of Python's own.
      input_->set_interrupt_check([] {
        py::gil_scoped_acquire locked;
        CheckSignals();
      });
    } catch (...) {
      Close();  // no destructor runs for a constructor that throws
      throw;
    }
  }
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Up to `size` bytes of the text, b"" at its end; OSError for a read
  // error or corrupt or truncated compressed data, naming the file.
  py::bytes Read(std::size_t size) {
    if (!input_) throw py::value_error("read() on a closed Input");
    std::string buffer(size, '\0');
    std::size_t n = 0;
    std::string error;
    {
      py::gil_scoped_release unlocked;
      try {
        n = input_->Read(buffer.data(), size);
      } catch (const ptseg::InputError& e) {
        error = e.what();
      }
    }
    if (!error.empty()) {
      // The message holds the file's name, which need not be UTF-8.
      if (PyObject* message = PyUnicode_DecodeFSDefault(error.c_str())) {
        PyErr_SetObject(PyExc_OSError, message);
        Py_DECREF(message);
      }
      throw py::error_already_set();
    }
    return py::bytes(buffer.data(), n);
  }

  void Close() {
    input_.reset();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::unique_ptr<ptseg::Input> input_;
};

}  // namespace

void DefineInput(py::module_& m) {
  py::class_<InputFile>(m, "Input",
                        "The file at a path, read as ptsplit reads it: gzip, xz, bzip2 and zstd "
                        "data decompressed.")
      .def(py::init<const std::string&>(), py::arg("path"))
      .def("read", &InputFile::Read, py::arg("size"))
      .def("close", &InputFile::Close);
}

}  // namespace ptseg_python
