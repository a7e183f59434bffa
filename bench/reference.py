"""Plain-Python yardstick for ormek_compressor.

`PlainCompressor` does what `ormek_compressor.OrmekCompressor` does, written
the obvious way, one Python operation per token.  It is used two ways:

- tests/test_package_identity.py checks that the native module writes
  byte-for-byte the same package files and restores the same texts;
- bench/run_bench.py times it next to the native module.

Keep it plain: no fast paths, no cleverness.  If it ever disagrees with the
native module, this file is the one that is easy to read and check.
"""

import os
import pickle
import re

import zstandard as zstd

TOKEN_PATTERN = r"\S+|\s+"
UNKNOWN_TOKEN = "<UNK>"


class PlainCompressor:
    def __init__(self, dict_path="larkmoor_dict.bin"):
        self.dict_path = dict_path
        self.global_dict = {}
        self.inverse_dict = {}
        self.next_id = 1
        self.load_dict()

    # -- dictionary file -------------------------------------------------

    def load_dict(self):
        if not os.path.exists(self.dict_path):
            return
        with open(self.dict_path, "rb") as f:
            data = pickle.load(f)
            self.global_dict = data.get("dict", {})
            self.inverse_dict = {v: k for k, v in self.global_dict.items()}
            self.next_id = data.get("next_id", 1)

    def save_dict(self):
        data = {"dict": self.global_dict, "next_id": self.next_id}
        with open(self.dict_path, "wb") as f:
            pickle.dump(data, f)

    # -- tokens ----------------------------------------------------------

    def tokenize(self, text):
        return re.findall(TOKEN_PATTERN, text)

    def detokenize(self, tokens):
        return "".join(tokens)

    # -- packages --------------------------------------------------------

    def encode_files(self, filepaths, output_path, zstd_level=6, threads=4):
        all_tokens = []
        file_boundaries = []
        filenames = []
        for path in filepaths:
            with open(path, "r", encoding="utf-8") as f:
                tokens = self.tokenize(f.read())
                all_tokens.extend(tokens)
                file_boundaries.append(len(all_tokens))
                filenames.append(os.path.basename(path))

        packed_tokens = bytearray(4 * len(all_tokens))
        offset = 0
        # Ids that entries already hold are never given out again, even when
        # next_id has been left below them (by decode_package or a dictionary
        # file): two tokens sharing an id would restore the wrong text.
        taken = {v for v in self.global_dict.values() if isinstance(v, int)}
        taken.update(k for k in self.inverse_dict if isinstance(k, int))
        for token in all_tokens:
            if token not in self.global_dict:
                while self.next_id in taken:
                    self.next_id += 1
                token_id = self.next_id
                self.global_dict[token] = token_id
                self.inverse_dict[token_id] = token
                self.next_id += 1
            else:
                token_id = self.global_dict[token]
            # Most significant byte first; a negative id comes out as its
            # 32-bit two's complement, as in the native module.
            packed_tokens[offset] = (token_id >> 24) & 0xFF
            packed_tokens[offset + 1] = (token_id >> 16) & 0xFF
            packed_tokens[offset + 2] = (token_id >> 8) & 0xFF
            packed_tokens[offset + 3] = token_id & 0xFF
            offset += 4

        compressor = zstd.ZstdCompressor(level=zstd_level, threads=threads)
        compressed = compressor.compress(packed_tokens)

        # Insertion order is part of the pickled bytes.
        package = {
            "compressed": compressed,
            "file_boundaries": file_boundaries,
            "filenames": filenames,
            "global_dict": self.global_dict,
        }
        with open(output_path, "wb") as f:
            pickle.dump(package, f)
        return len(compressed)

    def decode_package(self, package_path, output_dir, use_zstd=True):
        with open(package_path, "rb") as f:
            package = pickle.load(f)

        self.global_dict = package.get("global_dict", {})
        self.inverse_dict = {v: k for k, v in self.global_dict.items()}

        data = package["compressed"]
        if use_zstd:
            data = zstd.ZstdDecompressor().decompress(data)

        num_tokens = len(data) // 4
        restored_tokens = [None] * num_tokens
        for i in range(num_tokens):
            offset = 4 * i
            token_id = (
                (data[offset] << 24)
                | (data[offset + 1] << 16)
                | (data[offset + 2] << 8)
                | data[offset + 3]
            )
            if token_id > 0x7FFFFFFF:  # ids are signed 32-bit on both sides
                raise OverflowError("value too large to convert to int")
            restored_tokens[i] = self.inverse_dict.get(token_id, UNKNOWN_TOKEN)

        os.makedirs(output_dir, exist_ok=True)
        start_idx = 0
        for boundary, filename in zip(package["file_boundaries"], package["filenames"]):
            out_path = os.path.join(output_dir, filename)
            with open(out_path, "w", encoding="utf-8", newline="") as f:
                f.write("".join(restored_tokens[start_idx:boundary]))
            start_idx = boundary
        return package["filenames"]
