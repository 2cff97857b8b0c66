// The Python module `sarnveld`: the C interface of include/sarnveld.h for Python, with bytes
// in and out, failures as sarnveld.Error, and the GIL released while a container is coded.
#include <sarnveld.h>

#include <pybind11/pybind11.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace py = pybind11;

namespace {

// The module's exception type; it lives as long as the process.
PyObject* ErrorType = nullptr;

// The library's limit on what it reads from memory: anything larger is refused before a byte
// of it is read.
constexpr Py_ssize_t MaxMemorySize = 2147483646;

[[noreturn]] void Raise(const sarnveld_error& error) {
  py::str message(py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
      error.message, static_cast<Py_ssize_t>(std::strlen(error.message)), "backslashreplace")));
  py::object instance = py::reinterpret_borrow<py::object>(ErrorType)(message);
  instance.attr("kind") = py::str(error.kind);
  PyErr_SetObject(ErrorType, instance.ptr());
  throw py::error_already_set();
}

[[noreturn]] void RaisePending() {
  throw py::error_already_set();
}

// A C string without inner NUL bytes, which would silently cut a name or a path.
std::string CString(const char* data, Py_ssize_t size, const char* what) {
  std::string text(data, static_cast<std::size_t>(size));
  if (text.find('\0') != std::string::npos)
    throw py::value_error(std::string(what) + " holds a NUL byte");
  return text;
}

// A name: str as UTF-8, bytes as they are, None for the default.
std::optional<std::string> Name(const py::object& name, const char* what) {
  if (name.is_none())
    return std::nullopt;
  if (PyBytes_Check(name.ptr()))
    return CString(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()), what);
  if (PyUnicode_Check(name.ptr())) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (data == nullptr)
      RaisePending();
    return CString(data, size, what);
  }
  throw py::type_error(std::string(what) + " must be str, bytes or None");
}

const char* CStr(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

// A path as os.fspath gives it: str in the file system's encoding, or bytes.
std::string Path(const py::object& path, const char* what) {
  auto fspath = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!fspath)
    RaisePending();
  if (PyUnicode_Check(fspath.ptr()))
    fspath = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(fspath.ptr()));
  if (!fspath)
    RaisePending();
  return CString(PyBytes_AS_STRING(fspath.ptr()), PyBytes_GET_SIZE(fspath.ptr()), what);
}

// Bytes that stay put and unchanged while the GIL is released. A bytes object cannot change
// and is read in place; any other buffer (bytearray, memoryview, array, mmap) may be written
// by another thread meanwhile, so it is copied, unless it is too large for the library, which
// then refuses it without reading it.
class TInput {
 public:
  explicit TInput(const py::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &View, PyBUF_SIMPLE) != 0)
      RaisePending();
    Data = View.buf;
    Size = static_cast<std::size_t>(View.len);
    if (!PyBytes_CheckExact(data.ptr()) && View.len <= MaxMemorySize) {
      Copy.reset(new (std::nothrow) char[Size + 1]);
      if (!Copy) {
        PyBuffer_Release(&View);
        throw std::bad_alloc();
      }
      std::memcpy(Copy.get(), View.buf, Size);
      Data = Copy.get();
      PyBuffer_Release(&View);
      View.obj = nullptr;
    }
  }
  TInput(const TInput&) = delete;
  TInput& operator=(const TInput&) = delete;
  ~TInput() {
    if (View.obj != nullptr)
      PyBuffer_Release(&View);
  }

  const void* Data = nullptr;
  std::size_t Size = 0;

 private:
  Py_buffer View{};
  std::unique_ptr<char[]> Copy;
};

// A buffer the library allocated.
struct TFree {
  void operator()(void* memory) const { sarnveld_free(memory); }
};
using TOutput = std::unique_ptr<void, TFree>;

py::bytes Bytes(const TOutput& output, std::size_t size) {
  return py::bytes(static_cast<const char*>(output.get()), size);
}

struct TSummary {
  std::string NameId, Manufacturer;
  std::uint32_t PayloadSize = 0, Checksum = 0;
  std::uint64_t ImageSize = 0;
  int CodedByteValues = 0, ShortestCode = 0, LongestCode = 0;

  explicit TSummary(const sarnveld_summary& summary)
      : NameId(summary.name_id),
        Manufacturer(summary.manufacturer),
        PayloadSize(summary.payload_size),
        Checksum(summary.checksum),
        ImageSize(summary.image_size),
        CodedByteValues(summary.coded_byte_values),
        ShortestCode(summary.shortest_code),
        LongestCode(summary.longest_code) {}

  std::string Repr() const {
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "payload_size=%" PRIu32 ", checksum=0x%08" PRIX32 ", image_size=%" PRIu64
                  ", coded_byte_values=%d, shortest_code=%d, longest_code=%d)",
                  PayloadSize, Checksum, ImageSize, CodedByteValues, ShortestCode, LongestCode);
    return "Summary(name_id=" + py::repr(py::bytes(NameId)).cast<std::string>() +
           ", manufacturer=" + py::repr(py::bytes(Manufacturer)).cast<std::string>() + ", " +
           numbers;
  }
};

py::bytes Pack(const py::object& data, const py::object& nameId, const py::object& manufacturer) {
  const auto name = Name(nameId, "name_id"), maker = Name(manufacturer, "manufacturer");
  const TInput input(data);
  void* container = nullptr;
  std::size_t size = 0;
  sarnveld_error error;
  int result;
  {
    py::gil_scoped_release unlocked;
    result =
        sarnveld_pack(input.Data, input.Size, CStr(name), CStr(maker), &container, &size, &error);
  }
  const TOutput owned(container);
  if (result != 0)
    Raise(error);
  return Bytes(owned, size);
}

std::pair<TOutput, std::size_t> UnpackTo(const py::object& data, sarnveld_summary* summary) {
  const TInput input(data);
  void* image = nullptr;
  std::size_t size = 0;
  sarnveld_error error;
  int result;
  {
    py::gil_scoped_release unlocked;
    result = sarnveld_unpack(input.Data, input.Size, &image, &size, summary, &error);
  }
  TOutput owned(image);
  if (result != 0)
    Raise(error);
  return {std::move(owned), size};
}

void PackFile(const py::object& plainfile, const py::object& hexfile, const py::object& nameId,
              const py::object& manufacturer) {
  const std::string from = Path(plainfile, "plainfile"), to = Path(hexfile, "hexfile");
  const auto name = Name(nameId, "name_id"), maker = Name(manufacturer, "manufacturer");
  sarnveld_error error;
  int result;
  {
    py::gil_scoped_release unlocked;
    result = sarnveld_pack_file(from.c_str(), to.c_str(), CStr(name), CStr(maker), &error);
  }
  if (result != 0)
    Raise(error);
}

TSummary UnpackFile(const py::object& hexfile, const py::object& plainfile) {
  const std::string from = Path(hexfile, "hexfile");
  const std::optional<std::string> to =
      plainfile.is_none() ? std::nullopt : std::optional(Path(plainfile, "plainfile"));
  sarnveld_summary summary;
  sarnveld_error error;
  int result;
  {
    py::gil_scoped_release unlocked;
    result = sarnveld_unpack_file(from.c_str(), CStr(to), &summary, &error);
  }
  if (result != 0)
    Raise(error);
  return TSummary(summary);
}

}  // namespace

PYBIND11_MODULE(sarnveld, m) {
  m.doc() =
      "Packs raw memory images into Sarnveld containers and unpacks them, with the containers "
      "and failures of sarnveld2hex and hex2plain.";
  m.attr("__version__") = sarnveld_version();

  ErrorType = PyErr_NewExceptionWithDoc(
      "sarnveld.Error",
      "A failure as the programs report it: .kind is its class, such as 'EBadContainer', and "
      "the text its message.",
      PyExc_Exception, nullptr);
  if (ErrorType == nullptr)
    RaisePending();
  m.attr("Error") = py::reinterpret_borrow<py::object>(ErrorType);

  py::class_<TSummary>(m, "Summary", "What a container holds, once all of it has been checked.")
      .def_property_readonly("name_id", [](const TSummary& s) { return py::bytes(s.NameId); })
      .def_property_readonly("manufacturer",
                             [](const TSummary& s) { return py::bytes(s.Manufacturer); })
      .def_readonly("payload_size", &TSummary::PayloadSize)
      .def_readonly("checksum", &TSummary::Checksum)
      .def_readonly("image_size", &TSummary::ImageSize)
      .def_readonly("coded_byte_values", &TSummary::CodedByteValues)
      .def_readonly("shortest_code", &TSummary::ShortestCode)
      .def_readonly("longest_code", &TSummary::LongestCode)
      .def("__repr__", &TSummary::Repr);

  m.def("pack", &Pack, py::arg("data"), py::arg("name_id") = py::none(),
        py::arg("manufacturer") = py::none(),
        "Packs a bytes-like image into a container. Names are str (stored as UTF-8) or bytes, "
        "cut to 15 bytes; None selects the default ('ZRQ-705', 'Sarnveld').");
  m.def(
      "unpack",
      [](const py::object& container) {
        const auto [image, size] = UnpackTo(container, nullptr);
        return Bytes(image, size);
      },
      py::arg("container"), "Checks a bytes-like container and returns its image.");
  m.def(
      "describe",
      [](const py::object& container) {
        sarnveld_summary summary;
        UnpackTo(container, &summary);
        return TSummary(summary);
      },
      py::arg("container"), "Checks a bytes-like container and returns its Summary.");
  m.def("pack_file", &PackFile, py::arg("plainfile"), py::arg("hexfile"),
        py::arg("name_id") = py::none(), py::arg("manufacturer") = py::none(),
        "Packs the file plainfile into the container hexfile, as sarnveld2hex does.");
  m.def("unpack_file", &UnpackFile, py::arg("hexfile"), py::arg("plainfile") = py::none(),
        "Checks the container hexfile and, when plainfile is given, writes its image there, as "
        "hex2plain does; returns its Summary.");
}
