// tavrin: the command-line tool over the library, for operators and shell pipelines.
// Data goes to standard output, progress and messages to standard error. Exit status, decided
// here alone: 0 the work is done; 2 the command line or something it names cannot be used,
// found before the work starts (CLI11's parse errors and UsageError, which the input readers
// raise for every fault of an input); 1 the work started and failed (any other exception);
// 128 + N the work was stopped by signal N (ExitError).
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>

#include "cli/commands.hpp"
#include "cli/common.hpp"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The name of the subcommand the user gave, for messages: "tavrin check".
std::string command_name(const CLI::App& app) {
  const auto chosen = app.get_subcommands();
  return chosen.empty() ? "tavrin" : "tavrin " + chosen.front()->get_name();
}

// One line on standard error, whatever line breaks the message carries.
int report(const CLI::App& app, const std::string& message, int status) {
  std::string line = command_name(app) + ": error: " + message;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::cerr << line << std::endl;
  return status;
}

// What CLI11 could not place. Only option names are quoted: the word after a mistyped
// option may be its value, and that value may be a key.
std::string unexpected_arguments(const CLI::App& app, int argc, char** argv) {
  const auto extras = app.remaining(true);
  for (const std::string& arg : extras) {
    if (arg.starts_with("-")) return "unknown option " + arg.substr(0, arg.find('='));
  }
  for (int i = 1; !extras.empty() && i < argc; ++i) {
    if (extras.front() == argv[i]) {
      return "unexpected argument in position " + std::to_string(i);
    }
  }
  return "unexpected argument";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tavrin: predict labels with an LLM and check them against stores of the "
      "allowed labels"};
  app.name("tavrin");
  app.require_subcommand(1);
  app.set_version_flag("--version", "tavrin " TAVRIN_VERSION);
  app.footer("Try: tavrin demo        More: tavrin <command> --help");
  tavrin::cli::add_split_command(app);
  tavrin::cli::add_build_command(app);
  tavrin::cli::add_check_command(app);
  tavrin::cli::add_label_command(app);
  tavrin::cli::add_calibrate_command(app);
  tavrin::cli::add_review_command(app);
  tavrin::cli::add_export_command(app);
  tavrin::cli::add_ask_command(app);
  tavrin::cli::add_analyze_command(app);
  tavrin::cli::add_demo_command(app);
  tavrin::cli::add_report_command(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ExtrasError& e) {
    return report(app,
                  unexpected_arguments(app, argc, argv) + " (see " + command_name(app) + " --help)",
                  kUsage);
  } catch (const CLI::ParseError& e) {
    if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
      return report(app, "unknown command \"" + std::string(argv[1]) + "\" (see tavrin --help)",
                    kUsage);
    }
    return report(app, std::string(e.what()) + " (see " + command_name(app) + " --help)", kUsage);
  } catch (const tavrin::cli::ExitError& e) {
    return report(app, e.what(), e.status());
  } catch (const tavrin::cli::UsageError& e) {
    return report(app, e.what(), kUsage);
  } catch (const std::exception& e) {
    return report(app, e.what(), kFailed);
  }
  return 0;
}
