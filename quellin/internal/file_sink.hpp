// Where Client::download puts a reply body: a temporary file beside the target, renamed onto
// it once the whole body is on disk, removed otherwise; the body of a reply that is not 2xx
// stays in memory for its HttpError.
//
//   FileSink sink("out.jsonl", kDownloadLimit);   // creates ".out.jsonl.<random>.part"
//   ... connection.exchange(request, target, deadlines, sink) ...
//   sink.commit();   // -> the bytes now in "out.jsonl"; the temporary is gone
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quellin/internal/exchange.hpp"

namespace quellin::internal {

class FileSink final : public BodySink {
 public:
  /// Creates the temporary file in the folder of `to`: a ValueError when `to` names a folder
  /// or no file, a filesystem_error when the folder cannot take it. A 2xx body over
  /// `max_bytes` ends the exchange.
  FileSink(std::filesystem::path to, std::uint64_t max_bytes);
  /// Removes the temporary file unless it was committed.
  ~FileSink() override;

  void clear() override;
  void begin(unsigned status, std::optional<std::uint64_t> length,
             boost::system::error_code& ec) override;
  void write(std::string_view bytes, boost::system::error_code& ec) override;
  std::string over_limit() const override;

  /// Puts the body of the last 2xx reply on disk and renames it onto `to`; yields its size.
  std::uint64_t commit();

 private:
  void close() noexcept;

  std::filesystem::path to_;
  std::filesystem::path temporary_;
  std::uint64_t max_bytes_;
  int descriptor_ = -1;
  std::uint64_t written_ = 0;
  bool to_file_ = false;  // the current reply's body goes to the file
  bool committed_ = false;
};

}  // namespace quellin::internal
