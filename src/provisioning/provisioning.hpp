// Provisioning of a fresh board: the product home layout, the model catalog
// and the recommendation by RAM, the resumable model download, and the
// llama.cpp build that yields llama-server.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"
#include "support/json.hpp"

namespace dravik::provisioning {

// Product home layout (absolute paths, fixed when the library is loaded).
extern const std::filesystem::path& DRAVIK_HOME;    // ~/.dravik
extern const std::filesystem::path& MODELS_DIR;     // ~/.dravik/models
extern const std::filesystem::path& BIN_DIR;        // ~/.dravik/bin
extern const std::filesystem::path& LLAMA_CPP_DIR;  // ~/llama.cpp
extern const std::filesystem::path& SIDECAR_BIN;    // ~/.dravik/bin/llama-server

struct ModelEntry {
  double max_ram_gb;
  std::string label;
  std::string filename;
  std::string url;
  // The file's size as published, for what a set-up tells the user before
  // it downloads anything (the download itself trusts only the server).
  std::uint64_t bytes;
};

namespace detail {
// The downloadable models, smallest first.
extern const std::vector<ModelEntry> MODEL_CATALOG;
// Test seam: recomputes the layout constants for another home directory.
void set_home(const std::filesystem::path& home);
}  // namespace detail

// {"label", "filename", "url", "target_path"} (all text, in this order) of
// the catalog entry for the board's total RAM (the last entry when none
// matches).
Json recommend_direct_model(const host::HardwareInfo& hardware_info);

// The size of the catalog's model file `filename`, nullopt for a file the
// catalog does not hold.
std::optional<std::uint64_t> catalog_size_bytes(const std::string& filename);

// An existing llama-server: PATH, ~/llama.cpp/build/bin, then SIDECAR_BIN.
std::optional<std::string> current_sidecar_path();

// The llama.cpp configure command, run inside the checkout's build directory.
std::vector<std::string> _llama_cmake_args(const host::HardwareInfo& hardware_info);

struct ExecOutput {
  int exit_status = 0;  // negative signal number for a killed program
  std::string out;
  std::string err;
};

// Runs a program (no shell) with both streams captured and waits for it.
// Spawn failures (program missing) throw FileNotFoundError / OSError.
boost::asio::awaitable<ExecOutput> _run_exec(std::vector<std::string> args,
                                             std::optional<std::filesystem::path> cwd = std::nullopt);

// Host callbacks of the set-up steps.
using LogWriter = std::function<void(const std::string& markup)>;
using SetStatus = std::function<void(const std::string& text)>;
using ClearStatus = std::function<void()>;

// Returns `setup_result` itself for another runtime; else a copy with
// "sidecar_path" and "setup_missing_runtime" = false, cloning and building
// llama.cpp when no llama-server exists. Throws RuntimeError with the
// tool's own message when clone, configure or build fails.
boost::asio::awaitable<Json> ensure_sidecar(Json setup_result, host::HardwareInfo hardware_info, LogWriter log,
                                            SetStatus set_status, ClearStatus clear_status);

// For "model_source" "direct": downloads "model_download_url" to
// "model_download_path" (resuming a partial download) unless the file is
// there already, and returns a copy with "model", "llama_model" and
// "setup_missing_model" = false. Other sources: `setup_result` unchanged.
boost::asio::awaitable<Json> ensure_direct_model(Json setup_result, LogWriter log, SetStatus set_status,
                                                 ClearStatus clear_status);

// The model download first, then the llama-server build; clears the status.
boost::asio::awaitable<Json> provision_setup_artifacts(Json setup_result, host::HardwareInfo hardware_info,
                                                       LogWriter log, SetStatus set_status, ClearStatus clear_status);

// The figures of a model's metadata that size its KV cache ("0": absent).
struct GgufModelShape {
  std::string architecture;          // general.architecture
  std::uint64_t context_length = 0;  // the context the model was trained for
  std::uint64_t block_count = 0;     // layers
  std::uint64_t head_count = 0;
  std::uint64_t head_count_kv = 0;   // the largest, when given per layer
  std::uint64_t embedding_length = 0;
  std::uint64_t key_length = 0;      // per head; embedding_length / head_count when absent
  std::uint64_t value_length = 0;
  // Bytes one token takes in a q8_0 KV cache (keys and values of every
  // layer); 0 when the metadata does not tell.
  std::uint64_t kv_bytes_per_token_q8_0() const;
};

// What the structure of a GGUF file says about it.
struct GgufCheck {
  enum class Verdict { whole, truncated, padded, not_model };
  Verdict verdict = Verdict::not_model;
  std::uint64_t expected = 0;  // bytes the header implies (0: unknown)
  std::uint64_t found = 0;     // bytes in the file
  std::string detail;          // for the user: "truncated: 1,000,002 of 2,000,004 bytes"
  GgufModelShape shape;        // read from the metadata (when the header is readable)
};

// Reads the GGUF header of `path` (version, tensor count, metadata, tensor
// infos, alignment) and compares where the tensor data ends with where the
// file ends. Throws FileNotFoundError / OSError when it cannot be read.
GgufCheck check_gguf(const std::filesystem::path& path);

// The llama-server context a host picks for a model on this board: the
// largest multiple of 1024 from 4096 up to the trained context (at most
// 16384) whose q8_0 KV cache takes at most a quarter of the memory left
// after the model file; 4096 when nothing is known. `why` says how it came
// about, for the user.
struct ContextChoice {
  std::int64_t tokens = 4096;
  std::string why;
};
ContextChoice choose_context_window(const GgufModelShape& shape, std::optional<std::uint64_t> available_bytes,
                                    std::uint64_t model_bytes);
// Reads the model's header and the memory available now (MemAvailable).
ContextChoice choose_context_window(const std::filesystem::path& model);

// The host-RAM prompt cache for a llama-server on this board
// ("--cache-ram", MiB): a quarter of the memory left after the model and its
// KV cache, at most the server's own default (8192), in steps of 64 MiB
// (0: none); 1024 when the memory available is unknown. With one slot it
// is what keeps a conversation's prompt when another request came between
// two of its turns.
std::int64_t choose_cache_ram_mib(std::optional<std::uint64_t> available_bytes, std::uint64_t model_bytes,
                                  std::uint64_t kv_cache_bytes);
// The same from the model's header and the memory available now, for a
// server of `context_tokens`.
std::int64_t choose_cache_ram_mib(const std::filesystem::path& model, std::int64_t context_tokens);

// 1234567 -> "1,234,567".
std::string thousands(std::uint64_t n);

// A size as the download progress shows it: "512.0 MB", "4.36 GB" (1024-based).
std::string size_text(std::uint64_t bytes);

namespace detail {
// Minimum time between two progress updates of a download.
extern std::chrono::milliseconds progress_interval;
}  // namespace detail

}  // namespace dravik::provisioning
