// The Python module `sarnveld` (its extension, sarnveld._sarnveld): the C++ face of
// include/sarnveld.hpp for Python, with bytes in and out, failures as sarnveld.Error, and the
// GIL released while a container is coded.
#include <sarnveld.hpp>

#include <pybind11/pybind11.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>

namespace py = pybind11;

namespace {

// The module's exception type; it lives as long as the process.
PyObject* ErrorType = nullptr;

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
std::string Name(const py::object& name, const char* what, std::string_view fallback) {
  if (name.is_none())
    return std::string(fallback);
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
    Bytes = {static_cast<const std::uint8_t*>(View.buf), static_cast<std::size_t>(View.len)};
    if (!PyBytes_CheckExact(data.ptr()) && Bytes.size() <= sarnveld::MaxImageSize) {
      Copy.reset(new (std::nothrow) std::uint8_t[Bytes.size() + 1]);
      if (!Copy) {
        PyBuffer_Release(&View);
        throw std::bad_alloc();
      }
      std::memcpy(Copy.get(), View.buf, Bytes.size());
      Bytes = {Copy.get(), Bytes.size()};
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

  std::span<const std::uint8_t> Bytes;

 private:
  Py_buffer View{};
  std::unique_ptr<std::uint8_t[]> Copy;
};

// Memory for a result, in a bytes object of the size asked for, made with the GIL taken again;
// the call that asks runs without it. Untouched, the part of it that an image does not take
// costs nothing, and goes when the object is shrunk to the image.
sarnveld::Allocate BytesObject(py::object& result) {
  return [&result](std::uint64_t size) {
    const py::gil_scoped_acquire held;
    PyObject* bytes = size <= PY_SSIZE_T_MAX
                          ? PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))
                          : nullptr;
    if (bytes == nullptr) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    result = py::reinterpret_steal<py::object>(bytes);
    return std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)),
                     static_cast<std::size_t>(size));
  };
}

py::bytes Shrunk(py::object&& result, std::uint64_t size) {
  PyObject* bytes = result.release().ptr();
  if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) != 0)
    RaisePending();
  return py::reinterpret_steal<py::bytes>(bytes);
}

py::bytes Pack(const py::object& data, const py::object& nameId, const py::object& manufacturer) {
  const std::string name = Name(nameId, "name_id", sarnveld::DefaultNameId);
  const std::string maker = Name(manufacturer, "manufacturer", sarnveld::DefaultManufacturer);
  const TInput input(data);
  py::object result;
  {
    const py::gil_scoped_release unlocked;
    sarnveld::Pack(input.Bytes, BytesObject(result), name, maker);
  }
  return py::reinterpret_steal<py::bytes>(result.release());
}

std::tuple<py::bytes, sarnveld::Summary> UnpackAndDescribe(const py::object& container) {
  const TInput input(container);
  py::object result;
  sarnveld::Summary summary;
  {
    const py::gil_scoped_release unlocked;
    summary = sarnveld::Unpack(input.Bytes, BytesObject(result));
  }
  return {Shrunk(std::move(result), summary.ImageSize), summary};
}

sarnveld::Summary Describe(const py::object& container) {
  const TInput input(container);
  const py::gil_scoped_release unlocked;
  return sarnveld::Describe(input.Bytes);
}

void PackFile(const py::object& plainfile, const py::object& hexfile, const py::object& nameId,
              const py::object& manufacturer) {
  const std::string from = Path(plainfile, "plainfile"), to = Path(hexfile, "hexfile");
  const std::string name = Name(nameId, "name_id", sarnveld::DefaultNameId);
  const std::string maker = Name(manufacturer, "manufacturer", sarnveld::DefaultManufacturer);
  const py::gil_scoped_release unlocked;
  sarnveld::PackFile(from, to, name, maker);
}

sarnveld::Summary UnpackFile(const py::object& hexfile, const py::object& plainfile) {
  const std::string from = Path(hexfile, "hexfile");
  const std::optional<std::string> to =
      plainfile.is_none() ? std::nullopt : std::optional(Path(plainfile, "plainfile"));
  const py::gil_scoped_release unlocked;
  return sarnveld::UnpackFile(from, to);
}

// The fields, in their order: what pickling, hashing and the repr show.
py::tuple Fields(const sarnveld::Summary& s) {
  return py::make_tuple(py::bytes(s.NameId), py::bytes(s.Manufacturer), s.PayloadSize, s.Checksum,
                        s.ImageSize, s.CodedByteValues, s.ShortestCode, s.LongestCode);
}

sarnveld::Summary FromFields(const py::tuple& fields) {
  if (fields.size() != 8)
    throw py::value_error("a Summary has 8 fields");
  return {fields[0].cast<std::string>(),   fields[1].cast<std::string>(),
          fields[2].cast<std::uint32_t>(), fields[3].cast<std::uint32_t>(),
          fields[4].cast<std::uint64_t>(), fields[5].cast<int>(),
          fields[6].cast<int>(),           fields[7].cast<int>()};
}

std::string Repr(const sarnveld::Summary& s) {
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "payload_size=%" PRIu32 ", checksum=0x%08" PRIX32 ", image_size=%" PRIu64
                ", coded_byte_values=%d, shortest_code=%d, longest_code=%d)",
                s.PayloadSize, s.Checksum, s.ImageSize, s.CodedByteValues, s.ShortestCode,
                s.LongestCode);
  return "Summary(name_id=" + py::repr(py::bytes(s.NameId)).cast<std::string>() +
         ", manufacturer=" + py::repr(py::bytes(s.Manufacturer)).cast<std::string>() + ", " +
         numbers;
}

}  // namespace

PYBIND11_MODULE(_sarnveld, m) {
  m.doc() =
      "Packs raw memory images into Sarnveld containers and unpacks them, with the containers "
      "and failures of sarnveld2hex and hex2plain.";
  m.attr("__version__") = sarnveld::Version();

  ErrorType = PyErr_NewExceptionWithDoc(
      "sarnveld.Error",
      "A failure as the programs report it: .kind is its class, such as 'EBadContainer', and "
      "the text its message.",
      PyExc_Exception, nullptr);
  if (ErrorType == nullptr)
    RaisePending();
  m.attr("Error") = py::reinterpret_borrow<py::object>(ErrorType);
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure)
        std::rethrow_exception(failure);
    } catch (const sarnveld::Error& error) {
      py::str message(py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
          error.Message().data(), static_cast<Py_ssize_t>(error.Message().size()),
          "backslashreplace")));
      py::object instance = py::reinterpret_borrow<py::object>(ErrorType)(message);
      instance.attr("kind") = py::str(error.Kind());
      PyErr_SetObject(ErrorType, instance.ptr());
    }
  });

  py::class_<sarnveld::Summary> summary(m, "Summary",
                                        "What a container holds, once all of it has been checked.");
  summary
      .def_property_readonly("name_id",
                             [](const sarnveld::Summary& s) { return py::bytes(s.NameId); })
      .def_property_readonly("manufacturer",
                             [](const sarnveld::Summary& s) { return py::bytes(s.Manufacturer); })
      .def_readonly("payload_size", &sarnveld::Summary::PayloadSize)
      .def_readonly("checksum", &sarnveld::Summary::Checksum)
      .def_readonly("image_size", &sarnveld::Summary::ImageSize)
      .def_readonly("coded_byte_values", &sarnveld::Summary::CodedByteValues)
      .def_readonly("shortest_code", &sarnveld::Summary::ShortestCode)
      .def_readonly("longest_code", &sarnveld::Summary::LongestCode)
      .def("__repr__", &Repr)
      // An operator: another type gives NotImplemented, so `summary == None` is False.
      .def(
          "__eq__", [](const sarnveld::Summary& a, const sarnveld::Summary& b) { return a == b; },
          py::is_operator())
      .def("__hash__", [](const sarnveld::Summary& s) { return py::hash(Fields(s)); })
      // Every instance holds a value, blank until its state is set: pybind11's own __new__ left
      // the memory as it found it, for a pickle or Summary.__new__ alone to read.
      .def_static("__new__", [](const py::object&, const py::args&) { return sarnveld::Summary{}; })
      .def("__getstate__", &Fields);
  // Under another name: a method called __setstate__ would be taken for a constructor, and
  // skipped on the value __new__ made. Only a blank one takes a state: a Summary stays immutable.
  summary.attr("__setstate__") = py::cpp_function(
      [](sarnveld::Summary& s, const py::tuple& fields) {
        if (s != sarnveld::Summary{})
          throw py::type_error("a Summary is immutable");
        s = FromFields(fields);
      },
      py::name("set_state"), py::is_method(summary));

  m.def("pack", &Pack, py::arg("data"), py::arg("name_id") = py::none(),
        py::arg("manufacturer") = py::none(),
        "Packs a bytes-like image into a container. Names are str (stored as UTF-8) or bytes, "
        "cut to 15 bytes; None selects the default ('ZRQ-705', 'Sarnveld').");
  m.def(
      "unpack",
      [](const py::object& container) { return std::get<0>(UnpackAndDescribe(container)); },
      py::arg("container"), "Checks a bytes-like container and returns its image.");
  m.def("unpack_and_describe", &UnpackAndDescribe, py::arg("container"),
        "Checks a bytes-like container and returns its image and its Summary, in one decode.");
  m.def("describe", &Describe, py::arg("container"),
        "Checks a bytes-like container and returns its Summary.");
  m.def("pack_file", &PackFile, py::arg("plainfile"), py::arg("hexfile"),
        py::arg("name_id") = py::none(), py::arg("manufacturer") = py::none(),
        "Packs the file plainfile into the container hexfile, as sarnveld2hex does.");
  m.def("unpack_file", &UnpackFile, py::arg("hexfile"), py::arg("plainfile") = py::none(),
        "Checks the container hexfile and, when plainfile is given, writes its image there, as "
        "hex2plain does; returns its Summary.");
}
