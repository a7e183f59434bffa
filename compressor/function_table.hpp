// The functions of OrmekCompressor and its module, one row each: start-up
// makes their code objects and function objects from it and installs them,
// the class builds its method table from it, and each operation takes its
// parameters, traceback name and first line from its own row.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "module/binding.hpp"
#include "module/function_type.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

// The wrappers of the operations: bind, convert, test, then run the body.
// `self` is the bound OrmekCompressor (the module, for module functions).
#define ORMEK_WRAPPER(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
ORMEK_WRAPPER(load_dict_wrapper);
ORMEK_WRAPPER(save_dict_wrapper);
ORMEK_WRAPPER(tokenize_wrapper);
ORMEK_WRAPPER(detokenize_wrapper);
ORMEK_WRAPPER(encode_files_wrapper);
ORMEK_WRAPPER(decode_package_wrapper);
ORMEK_WRAPPER(read_package_wrapper);
ORMEK_WRAPPER(encode_named_files_wrapper);
ORMEK_WRAPPER(check_package_wrapper);
ORMEK_WRAPPER(restored_names_wrapper);
ORMEK_WRAPPER(decode_names_wrapper);
ORMEK_WRAPPER(restored_sizes_wrapper);
ORMEK_WRAPPER(judge_package_wrapper);
ORMEK_WRAPPER(read_outline_wrapper);
ORMEK_WRAPPER(restore_package_wrapper);
ORMEK_WRAPPER(restored_text_wrapper);
ORMEK_WRAPPER(check_text_files_wrapper);
ORMEK_WRAPPER(reduce_cython_wrapper);
ORMEK_WRAPPER(setstate_cython_wrapper);
ORMEK_WRAPPER(unpickle_compressor_wrapper);
#undef ORMEK_WRAPPER

// In the order start-up installs them: the methods into the class, then the
// module-level reconstructor into the module.
inline constexpr FunctionRow kCompressorFunctions[] = {
    {.name = "load_dict",
     .qualname = "OrmekCompressor.load_dict",
     .file = kFileCompressor,
     .first_line = 21,
     .wrapper = load_dict_wrapper,
     .locals = {Str::f, Str::data, Str::k, Str::v}},
    {.name = "save_dict",
     .qualname = "OrmekCompressor.save_dict",
     .file = kFileCompressor,
     .first_line = 29,
     .wrapper = save_dict_wrapper,
     .locals = {Str::data, Str::f}},
    {.name = "tokenize",
     .qualname = "OrmekCompressor.tokenize",
     .file = kFileCompressor,
     .first_line = 38,
     .wrapper = tokenize_wrapper,
     .params = {{Str::text}},
     .overridable = true},
    {.name = "detokenize",
     .qualname = "OrmekCompressor.detokenize",
     .file = kFileCompressor,
     .first_line = 41,
     .wrapper = detokenize_wrapper,
     .params = {{Str::tokens}},
     .overridable = true},
    {.name = "encode_files",
     .qualname = "OrmekCompressor.encode_files",
     .file = kFileCompressor,
     .first_line = 45,
     .wrapper = encode_files_wrapper,
     .params = {{Str::filepaths},
                {Str::output_path},
                {Str::zstd_level, Int::six},
                {Str::threads, Int::four}},
     .locals = {Str::all_tokens, Str::file_boundaries, Str::filenames, Str::path, Str::f,
                Str::tokens, Str::packed_tokens, Str::packed_view, Str::offset, Str::token_id,
                Str::token, Str::package}},
    {.name = "decode_package",
     .qualname = "OrmekCompressor.decode_package",
     .file = kFileCompressor,
     .first_line = 95,
     .wrapper = decode_package_wrapper,
     .params = {{Str::package_path}, {Str::output_dir}, {Str::use_zstd, true}},
     .locals = {Str::f, Str::package, Str::data, Str::num_tokens, Str::restored_tokens, Str::i,
                Str::token_id, Str::start_idx, Str::boundary, Str::filename, Str::k, Str::v}},
    {.name = "read_package",
     .qualname = "OrmekCompressor.read_package",
     .file = kFileCompressor,
     .first_line = 126,
     .wrapper = read_package_wrapper,
     .params = {{Str::package_path}},
     .locals = {Str::f}},
    {.name = "encode_named_files",
     .qualname = "OrmekCompressor.encode_named_files",
     .file = kFileCompressor,
     .first_line = 131,
     .wrapper = encode_named_files_wrapper,
     .params = {{Str::entries},
                {Str::output_path},
                {Str::zstd_level, Int::six},
                {Str::threads, Int::four},
                {Str::checks, false, true},
                {Str::empty_dirs, nullptr, true},
                {Str::follow_links, true, true},
                {Str::package_dict, Str::whole, true},
                {Str::dir_facts, nullptr, true}},
     .locals = {Str::all_tokens, Str::file_boundaries, Str::filenames, Str::paths, Str::path,
                Str::name, Str::f, Str::tokens, Str::packed_tokens, Str::packed_view, Str::offset,
                Str::token_id, Str::token, Str::package}},
    {.name = "check_package",
     .qualname = "OrmekCompressor.check_package",
     .file = kFileCompressor,
     .first_line = 185,
     .wrapper = check_package_wrapper,
     .params = {{Str::package_path}, {Str::use_zstd, true}},
     .locals = {Str::f, Str::package}},
    {.name = "restored_names",
     .qualname = "OrmekCompressor.restored_names",
     .file = kFileCompressor,
     .first_line = 194,
     .wrapper = restored_names_wrapper,
     .params = {{Str::package}}},
    // Methods of this module's own beside those above: decode_package
    // restricted to chosen files, the sizes of the files it would write, and
    // the judgement of a package that it makes before it writes anything.
    {.name = "decode_names",
     .qualname = "OrmekCompressor.decode_names",
     .file = kFileCompressor,
     .first_line = 200,
     .wrapper = decode_names_wrapper,
     .params = {{Str::package_path}, {Str::output_dir}, {Str::names}, {Str::use_zstd, true}}},
    {.name = "restored_sizes",
     .qualname = "OrmekCompressor.restored_sizes",
     .file = kFileCompressor,
     .first_line = 205,
     .wrapper = restored_sizes_wrapper,
     .params = {{Str::package_path}, {Str::use_zstd, true}}},
    {.name = "judge_package",
     .qualname = "OrmekCompressor.judge_package",
     .file = kFileCompressor,
     .first_line = 210,
     .wrapper = judge_package_wrapper,
     .params = {{Str::package}}},
    {.name = "read_outline",
     .qualname = "OrmekCompressor.read_outline",
     .file = kFileCompressor,
     .first_line = 215,
     .wrapper = read_outline_wrapper,
     .params = {{Str::package_path}, {Str::count_tokens, true, true}}},
    // decode_package for a caller that does not want the dictionaries: they
    // are left as they were, and the package's token table is read natively.
    {.name = "restore_package",
     .qualname = "OrmekCompressor.restore_package",
     .file = kFileCompressor,
     .first_line = 218,
     .wrapper = restore_package_wrapper,
     .params = {{Str::package_path}, {Str::output_dir}, {Str::use_zstd, true}}},
    // One file's text from its records, checked against its facts when
    // they are given, for a reader of one file (restored_text.cpp).
    {.name = "restored_text",
     .qualname = "OrmekCompressor.restored_text",
     .file = kFileCompressor,
     .first_line = 223,
     .wrapper = restored_text_wrapper,
     .params = {{Str::name},
                {Str::records},
                {Str::tokens},
                {Str::size, nullptr},
                {Str::digest, nullptr}}},
    // The command's check of the files a tree walk found: what each is and
    // whether it is UTF-8 text, on two threads (check_text_files.cpp).
    {.name = "check_text_files",
     .qualname = "OrmekCompressor.check_text_files",
     .file = kFileCompressor,
     .first_line = 227,
     .wrapper = check_text_files_wrapper,
     .params = {{Str::paths}}},
    {.name = "__reduce_cython__",
     .qualname = "OrmekCompressor.__reduce_cython__",
     .file = kFileStringsource,
     .first_line = 1,
     .wrapper = reduce_cython_wrapper,
     .locals = {Str::state, Str::under_dict, Str::use_setstate}},
    {.name = "__setstate_cython__",
     .qualname = "OrmekCompressor.__setstate_cython__",
     .file = kFileStringsource,
     .first_line = 16,
     .wrapper = setstate_cython_wrapper,
     .params = {{Str::pyx_state}}},
    {.name = "__pyx_unpickle_OrmekCompressor",
     .qualname = "__pyx_unpickle_OrmekCompressor",
     .file = kFileStringsource,
     .first_line = 1,
     .wrapper = unpickle_compressor_wrapper,
     .params = {{Str::pyx_type}, {Str::pyx_checksum}, {Str::pyx_state}},
     .locals = {Str::pyx_PickleError, Str::pyx_result},
     .kind = FunctionKind::plain},
};

// Every row's parameters fit the binding: the required ones first, the
// keyword-only ones last and each with a default.
consteval bool parameters_fit() {
  for (const FunctionRow& row : kCompressorFunctions) {
    if (row.params.size() > static_cast<std::size_t>(kMaxParameters)) return false;
    bool optional = false;
    bool keyword_only = false;
    for (const Param& param : row.params) {
      if (optional && !param.value.exists()) return false;
      if (keyword_only && !param.keyword_only) return false;
      if (param.keyword_only && !param.value.exists()) return false;
      optional = param.value.exists();
      keyword_only = param.keyword_only;
    }
  }
  return true;
}
static_assert(parameters_fit());

// The row of the function named `name`; an unknown name does not compile.
consteval const FunctionRow& function_row(const char* name) {
  for (const FunctionRow& row : kCompressorFunctions) {
    if (std::string_view(row.name) == name) return row;
  }
  throw "no function of that name in kCompressorFunctions";
}

// Makes the parts of every row's function object (start-up's code-object
// step). 0, or -1 with an exception set.
int make_compressor_function_parts();

// Installs every row's function object: each method into OrmekCompressor the
// way a class body stores it, the module-level function into the module
// namespace. On failure, adds the entry of `init_function` at the failing
// row's first line and returns -1.
int install_compressor_functions(const char* init_function);

}  // namespace ormek
