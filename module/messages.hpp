// Every message text the module raises itself, named after what it reports.
// They are part of the module's interface: tests check them verbatim, so they
// are written once here and used everywhere else by name.
#pragma once

namespace ormek::msg {

// Start-up.
inline constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr const char kReinitialisation[] =
    "Module 'ormek_compressor' has already been imported. Re-initialisation is not supported.";
inline constexpr const char kVersionMismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr const char kVersionMismatchVerb[] = "does not match";
inline constexpr const char kNameNotDefined[] = "name '%U' is not defined";
inline constexpr const char kSharedTypeNotAType[] =
    "Shared Velmar type %.200s is not a type object";
inline constexpr const char kSharedTypeWrongSize[] =
    "Shared Velmar type %.200s has the wrong size, try recompiling";
inline constexpr const char kPicklingSetup[] = "Unable to initialize pickling for %.200s";
inline constexpr const char kInitFailed[] = "init ormek_compressor";
inline constexpr const char kModuleGlobalMissing[] = "module global missing";

// Call binding.
inline constexpr const char kArity[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char kArityExactly[] = "exactly";
inline constexpr const char kArityAtLeast[] = "at least";
inline constexpr const char kArityAtMost[] = "at most";
inline constexpr const char kMultipleValues[] =
    "%s() got multiple values for keyword argument '%U'";
inline constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char kKeywordsNotStrings[] = "%.200s() keywords must be strings";
inline constexpr const char kKeywordKeysNotStrings[] = "keywords must be strings";
inline constexpr const char kNeedsArgument[] = "%.200s() %s";
inline constexpr const char kNeedsArgumentWhat[] = "needs an argument";
inline constexpr const char kWrongBoundObject[] =
    "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object";
inline constexpr const char kIncorrectArgumentType[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char kValueTooLargeForInt[] = "value too large to convert to int";
inline constexpr const char kValueTooLargeForLong[] = "value too large to convert to long";
inline constexpr const char kIntegerRequired[] = "an integer is required";
inline constexpr const char kIntReturnedNonInt[] = "__int__ returned non-int (type %.200s)";
inline constexpr const char kIntReturnedIntSubclass[] =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";
inline constexpr const char kExpectedType[] = "Expected %s, got %.200s";

// The shared function type's attributes.
inline constexpr const char kNameMustBeString[] = "__name__ must be set to a string object";
inline constexpr const char kQualnameMustBeString[] = "__qualname__ must be set to a string object";
inline constexpr const char kFuncDictDeleted[] = "function's dictionary may not be deleted";
inline constexpr const char kFuncDictNotDict[] = "setting function's dictionary to a non-dict";
inline constexpr const char kDefaultsMustBeTuple[] = "__defaults__ must be set to a tuple object";
inline constexpr const char kDefaultsChanged[] =
    "changes to velfunction.__defaults__ will not currently affect the values used in function "
    "calls";
inline constexpr const char kKwdefaultsMustBeDict[] = "__kwdefaults__ must be set to a dict object";
inline constexpr const char kKwdefaultsChanged[] =
    "changes to velfunction.__kwdefaults__ will not currently affect the values used in function "
    "calls";
inline constexpr const char kAnnotationsMustBeDict[] =
    "__annotations__ must be set to a dict object";
inline constexpr const char kFunctionRepr[] = "<velfunction %U at %p>";

// Shared error operations.
inline constexpr const char kNeedMoreValues[] = "need more than %zd value%.1s to unpack";
inline constexpr const char kTooManyValues[] = "too many values to unpack (expected %zd)";
inline constexpr const char kDictChangedSize[] = "dictionary changed size during iteration";
inline constexpr const char kNoneNotIterable[] = "'NoneType' object is not iterable";
inline constexpr const char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
inline constexpr const char kNoneHasNoAttribute[] = "'NoneType' object has no attribute '%.30s'";
inline constexpr const char kNullWithoutError[] = "NULL result without error in PyObject_Call";
inline constexpr const char kWhileCalling[] = " while calling a Python object";
inline constexpr const char kCannotImportName[] = "cannot import name %S";
inline constexpr const char kInstanceWithValue[] =
    "instance exception may not have a separate value";
inline constexpr const char kRaiseNeedsException[] =
    "raise: exception class must be a subclass of BaseException";
inline constexpr const char kRaiseCallReturned[] =
    "calling %R should have returned an instance of BaseException, not %R";
inline constexpr const char kUnboundLocal[] = "local variable '%s' referenced before assignment";
inline constexpr const char kBufferOutOfBounds[] = "Out of bounds on buffer access (axis %d)";
inline constexpr const char kDeleteNotSupported[] = "__del__";

// Pickling (text constants formatted by the host's % operator).
inline constexpr const char kIncompatibleChecksums[] =
    "Incompatible checksums (0x%x vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = (dict_path, global_dict, "
    "inverse_dict, next_id))";
inline constexpr const char kIncompatibleEnumChecksums[] =
    "Incompatible checksums (0x%x vs (0x82a3537, 0x6ae9995, 0xb068931) = (name))";

// Limits the package layout imposes (32-bit ids, 32-bit byte offsets).
inline constexpr const char kTooManyTokens[] =
    "a package holds at most %zd tokens; these files have %zd";
inline constexpr const char kIdSpaceExhausted[] =
    "no token id left for a new token: next_id is %d and ids cannot pass 2147483647";
inline constexpr const char kRepeatedTokenId[] =
    "refusing to encode with a dictionary that gives the id %u to both %R and %R: a package "
    "restores one token for each id";
inline constexpr const char kPayloadTooLarge[] =
    "the package payload holds %zd ids; at most %zd are supported";
inline constexpr const char kFramePieceNotBytes[] =
    "the Zstandard binding's compression object gave something other than bytes";

// Untrusted packages: what loading one refuses.
inline constexpr const char kRefusedGlobal[] =
    "refusing to load the global '%S.%S' from a package: a package holds only plain data";
inline constexpr const char kRefusedArguments[] =
    "refusing to call %s with arguments that do not rebuild plain data while loading a package";
inline constexpr const char kRefusedExtensionCode[] =
    "refusing the extension code %llu (%s at byte %zu) in a package: a package holds only plain "
    "data";
inline constexpr const char kRefusedMemoIndex[] =
    "refusing the memo index %llu (%s at byte %zu) of a package: it lies beyond the %zu bytes of "
    "its stream";
inline constexpr const char kUnsafeFileName[] =
    "refusing to write the stored file name %R outside the output directory";
inline constexpr const char kUnsafeStoredName[] =
    "refusing to store the file name %R: a stored name is a relative path whose parts are file "
    "or directory names (none empty, '.', '..' or holding a NUL), or it could not be restored";
inline constexpr const char kStoredNameTooLong[] =
    "refusing the stored file name %.100R: a file system allows at most %d bytes a part and %d "
    "in all";
inline constexpr const char kStoredNameNotEncodable[] =
    "refusing the stored file name %.100R: it holds a lone surrogate that no file name can hold "
    "(only U+DC80 to U+DCFF stand for bytes)";
inline constexpr const char kRepeatedStoredName[] =
    "refusing to store the file name %R twice: restoring the package would keep only the last "
    "file of that name";
inline constexpr const char kNameIsDirectoryOfAnother[] =
    "refusing the stored file names %R and %R: the first would have to be both a file and a "
    "directory of the second";
// File checks: the "file_facts" a package may carry.
inline constexpr const char kPackageDamaged[] =
    "the package is damaged: the file %R does not restore as it was packed (its check does not "
    "match)";
inline constexpr const char kFileFactsDamaged[] = "the package is damaged: its \"file_facts\" %s";
// What damaged "file_facts" do (kFileFactsDamaged's %s).
inline constexpr const char kFactsNotADict[] = "are not a dict";
inline constexpr const char kFactsBesideNoNames[] =
    "do not match a list of names and a list of as many boundaries";
inline constexpr const char kFactsBesideNameNotStr[] =
    "stand beside a stored name that is not a str";
inline constexpr const char kFactsNoDigests[] = "hold no list of a 16-byte digest per file";
inline constexpr const char kFactsNoSizes[] = "hold no list of a size in bytes per file";
inline constexpr const char kFactsNoModes[] =
    "hold no list of permission bits (0 to 0o7777) per file";
inline constexpr const char kFactsNoTimes[] =
    "hold no list of a modification time (64-bit nanoseconds) per file";
inline constexpr const char kFactsNoEmptyDirs[] = "hold no list of empty directories";
inline constexpr const char kFactsNoDirs[] = "hold no list of directories";
inline constexpr const char kFactsNoDirModes[] =
    "hold no list of permission bits (0 to 0o777) per directory";
inline constexpr const char kFactsNoDirTimes[] =
    "hold no list of a modification time (64-bit nanoseconds) per directory";
inline constexpr const char kFactsDigestNot16Bytes[] =
    "hold a \"facts_digest\" that is not 16 bytes";
inline constexpr const char kFactsDigestMismatch[] = "do not match their digest (\"facts_digest\")";
inline constexpr const char kFactsEmptyDirNotStr[] = "name an empty directory that is not a str";
inline constexpr const char kFactsEmptyDirIsFile[] =
    "name an empty directory where a file is stored";
inline constexpr const char kFileFactsVersion[] =
    "the package's \"file_facts\" are of version %R; this module reads version %ld";
inline constexpr const char kFileFactsUnknownKey[] =
    "the package is damaged, or made by a later release: its \"file_facts\" hold the key %.100R, "
    "which this release does not know";
inline constexpr const char kFileFactsMisplaced[] =
    "the package is damaged: it holds its \"file_facts\" under the key %.100R";
inline constexpr const char kEmptyDirCannotBeRestored[] =
    "the package is damaged: its \"file_facts\" name the empty directory %.100R, which cannot "
    "be restored (a stored name is a relative path of at most 4095 bytes whose parts are of at "
    "most 255, none empty, '.' or '..')";
inline constexpr const char kNotAPackage[] = "not a package: %s";
// Why a file is not a package (kNotAPackage's %s).
inline constexpr const char kNotAPackageNotADict[] = "it does not hold a dict";
inline constexpr const char kNotAPackageKeyMissing[] = "it lacks a key of the package format";
inline constexpr const char kNotAPackageCompressed[] = "its \"compressed\" are not bytes";
inline constexpr const char kNotAPackageLists[] =
    "its \"file_boundaries\" or \"filenames\" are not lists";
inline constexpr const char kNotAPackageGlobalDict[] = "its \"global_dict\" is not a dict";
inline constexpr const char kFileDoesNotRestore[] =
    "the package is damaged: the file %R does not restore (a token of its text is not text)";
inline constexpr const char kDigestSize[] = "digest must be %zu bytes";
inline constexpr const char kIdOutOfRange[] =
    "the package is damaged: its id stream holds an id beyond 2147483647";
inline constexpr const char kEmptyDirIsFile[] =
    "refusing to store the empty directory %R: %R is a stored file";
inline constexpr const char kEmptyDirsNeedChecks[] =
    "empty directories are stored only with checks=True";
inline constexpr const char kBadPackageDict[] =
    "package_dict must be 'whole', 'used' or 'own', not %R";
inline constexpr const char kDirFactsNeedChecks[] =
    "directory facts are stored only with checks=True";
inline constexpr const char kDirFactsItem[] =
    "each item of dir_facts must be a (name, mode, mtime_ns) tuple of a str and two ints, not "
    "%.100R";
inline constexpr const char kDirFactsRange[] =
    "refusing the facts of the directory %.100R: its mode must be within 0 to 0o777 and its time "
    "within 64-bit nanoseconds";
// Restoring: what stands in the way of an output file (the strerror of the
// OSError, whose filename is the path).
inline constexpr const char kTargetNotRegularFile[] =
    "exists and is not a regular file; refusing to restore a file over it";
inline constexpr const char kPathPartNotDirectory[] =
    "is a symbolic link or not a directory; refusing to restore files through it";
// Packing a walked tree: an input that changed since it was walked (the
// strerror of the OSError, whose filename is the path).
inline constexpr const char kInputNotRegularFile[] =
    "is no longer a regular file (a link or a special file now stands there); refusing to read it";
// Reading a package natively: a payload that is no longer where the walk
// found it (never reported: the host's way then reads the package).
inline constexpr const char kPackageChangedWhileRead[] = "the package changed while it was read";
// Restoring chosen files (decode_names).
// The host's own text for a path with a NUL in it.
inline constexpr const char kEmbeddedNull[] = "embedded null byte";
// Why a file's bytes are not UTF-8, in the strict decoder's words.
inline constexpr const char kInvalidStartByte[] = "invalid start byte";
inline constexpr const char kInvalidContinuationByte[] = "invalid continuation byte";
inline constexpr const char kUnexpectedEndOfData[] = "unexpected end of data";
inline constexpr const char kNameNotInPackage[] = "the package holds no file or directory named %R";

}  // namespace ormek::msg
