// The files and folders a command line names. An input must be a readable regular file, and
// "-" standard input, which may also be a pipe, a socket or a terminal; an output must not be
// something else already (a directory where a file goes, a device). Every fault is a
// UsageError naming the path, raised before the command reads or writes anything.
//
//   std::string text = read_input("-");               // all of standard input
//   frame::DataFrame t = read_table("tickets.csv");    // read_csv, faults named by the path
//   read_input("adir");   // UsageError: "adir" is a directory, not a regular file
#pragma once

#include <filesystem>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::frame {
class DataFrame;
}  // namespace tavrin::frame

namespace tavrin::cli {

/// The whole content of the regular file at `path`; "-" reads standard input. Anything else
/// (missing, unreadable, a directory, a device, a named pipe) is a UsageError naming it, and
/// so is a read that fails midway.
std::string read_input(const std::string& path);

/// The same input as a stream read a block at a time, so that memory does not grow with it;
/// the same UsageErrors, at once for what the path is and as they come for a failed read.
std::unique_ptr<std::istream> open_input(const std::string& path);

/// read_csv of the regular file at `path`, with every fault of the file (missing, not a
/// regular file, a ragged row, invalid UTF-8, no header, an unterminated quote...) a
/// UsageError that names it. "-" is refused: read_csv reads its file twice.
frame::DataFrame read_table(const std::string& path);

/// The UsageErrors of read_table that `path` alone causes ("-", missing, not a regular file),
/// for a table that the library reads itself (the labelling job streams its records).
void require_table_file(const std::string& path);

/// Throws a UsageError naming `option` unless `path` is non-empty and either does not exist
/// yet or is a regular file that writing may replace.
void require_output_file(const std::string& path, std::string_view option);

/// Throws a UsageError naming `option` unless `path` is non-empty and either does not exist
/// yet or is a folder.
void require_output_folder(const std::string& path, std::string_view option);

/// Throws a UsageError naming both options unless the output files `first` and `second` are
/// two different files: the same path, `./x` and `x`, a symbolic or a hard link to the other
/// are one file, and the second written would replace the first. Existing files are compared
/// by device and inode, others by their paths with every link and `..` resolved.
void require_distinct_outputs(const std::string& first, std::string_view first_option,
                              const std::string& second, std::string_view second_option);

/// Writes `content` to `path` through a temporary file beside it and a rename, so a failure
/// never leaves a truncated file behind.
void write_file(const std::filesystem::path& path, std::string_view content);

}  // namespace tavrin::cli
