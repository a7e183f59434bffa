// The files a decoding call restores (see file_choice.hpp).
#include "compressor/decode/file_choice.hpp"

#include <new>
#include <string>
#include <string_view>

#include "compressor/text/text_units.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"

namespace ormek {

bool FileChoice::pick(PyObject* names) {
  kind_ = Kind::kNamed;
  names_ = Ref::borrow(names);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); i++) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyUnicode_CheckExact(name)) {
      raise_expected_type("str", name);
      return false;
    }
  }
  results_ = Ref::steal(PyList_New(0));
  return static_cast<bool>(results_);
}

bool FileChoice::measure() {
  kind_ = Kind::kSizes;
  results_ = Ref::steal(PyList_New(0));
  return static_cast<bool>(results_);
}

namespace {

// Whether a node is picked, known once for each node of the tree.
constexpr uint8_t kUnknown = 0;
constexpr uint8_t kPicked = 1;
constexpr uint8_t kLeft = 2;

// Whether `node` or a directory it lies in was named (marked kPicked): walks
// up to the first node whose answer is known and gives the answer to every
// node on the way. Throws std::bad_alloc.
bool is_picked(const NameTree& tree, NameTree::Node node, std::vector<uint8_t>& state,
               std::vector<NameTree::Node>& walked) {
  walked.clear();
  NameTree::Node up = node;
  while (up != NameTree::kRoot && state[up] == kUnknown) {
    walked.push_back(up);
    up = tree.parent(up);
  }
  const uint8_t answer = up == NameTree::kRoot ? kLeft : state[up];
  for (NameTree::Node on_the_way : walked) state[on_the_way] = answer;
  return answer == kPicked;
}

}  // namespace

// Each name given marks its node picked: the name itself, or with a
// trailing "/" the directory of that name. ValueError for the first that
// names nothing.
bool FileChoice::mark_wanted(const NameTree& tree, std::vector<uint8_t>& state) const {
  std::string bytes;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_.get()); i++) {
    PyObject* name = PyList_GET_ITEM(names_.get(), i);
    bytes.clear();
    append_utf8_of(name, bytes);
    const size_t end = bytes.find_last_not_of('/');
    const bool directory_only = end + 1 < bytes.size();
    const NameTree::Node node = tree.find(std::string_view(bytes).substr(0, end + 1));
    if (node == NameTree::kNoNode || (directory_only && !tree.is_directory(node))) {
      PyErr_Format(PyExc_ValueError, msg::kNameNotInPackage, name);
      return false;
    }
    state[node] = kPicked;
  }
  return true;
}

bool FileChoice::pick_from(const JudgedPackage& judged, std::vector<char>& files,
                           std::vector<char>& dirs) {
  const size_t dir_count = judged.facts.dirs.size();
  try {
    files.assign(judged.files.size(), kind_ != Kind::kNamed);
    dirs.assign(dir_count, kind_ == Kind::kAll);
    if (kind_ != Kind::kNamed) return true;
    const NameTree& tree = judged.names.tree();
    std::vector<uint8_t> state(tree.size(), kUnknown);
    std::vector<NameTree::Node> walked;
    if (!mark_wanted(tree, state)) return false;
    for (size_t i = 0; i < files.size(); i++) {
      const NameTree::Node node = judged.files[i].where.node;
      files[i] = node != NameTree::kNoNode && is_picked(tree, node, state, walked);
    }
    for (size_t i = 0; i < dir_count; i++) {
      dirs[i] = is_picked(tree, judged.facts.dirs[i].node, state, walked);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool FileChoice::record_name(PyObject* name) {
  // kAll: the result is the package's own list.
  return kind_ != Kind::kNamed || PyList_Append(results_.get(), name) == 0;
}

bool FileChoice::record_size(Py_ssize_t size) {
  Ref value = Ref::steal(PyLong_FromSsize_t(size));
  return value && PyList_Append(results_.get(), value.get()) == 0;
}

Py_ssize_t utf8_size(PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) return PyUnicode_GET_LENGTH(text);
  return with_text_units(text, [](const auto* units, size_t length) {
    Py_ssize_t size = 0;
    for (size_t i = 0; i < length; i++) {
      const uint32_t c = units[i];
      size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return size;
  });
}

}  // namespace ormek
