// tavik-meta: prints, as text or JSON, the command and package records of tavik images, or checks their layout.
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tavik/meta.hpp"

namespace {

using tavik::meta::ElfImage;
using tavik::meta::ImageChecker;

struct Options {
  std::vector<std::string> files;
  bool json = false;
  bool check = false;
  bool layout_only = false;
};

// One image; false when it could not be read or broke a rule. Every fault is reported before returning.
bool process(const std::string& path, const Options& opt) {
  try {
    ElfImage image = ElfImage::load(path);
    if (opt.check) {
      auto mode = opt.layout_only ? ImageChecker::Mode::LayoutOnly : ImageChecker::Mode::Full;
      auto violations = ImageChecker(mode).check(image);
      for (const auto& v : violations)
        std::cout << tavik::meta::printable(path) << ": " << tavik::meta::printable(v) << "\n";
      if (violations.empty())
        std::cout << tavik::meta::printable(path) << ": ok" << (opt.layout_only ? " (layout)" : "") << "\n";
      return violations.empty();
    }
    auto records = tavik::meta::read_records(image);
    if (opt.json)
      std::cout << tavik::meta::to_json(path, records).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
    else
      std::cout << tavik::meta::format_text(path, records);
    return true;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "tavik-meta: " << tavik::meta::printable(path) << ": " << tavik::meta::printable(e.what()) << "\n";
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  CLI::App app{"Prints the command and package records of tavik images, or checks their layout."};
  app.add_option("images", opt.files, "tavik executable images")->required();
  app.add_flag("--json", opt.json, "one JSON object per image: magic, version, strings, section offsets and sizes");
  auto* check = app.add_flag("--check", opt.check, "check the image layout and records; print every violation");
  app.add_flag("--layout-only", opt.layout_only, "with --check: the layout alone, for images without records")
      ->needs(check);
  app.set_version_flag("--version", "tavik-meta " TAVIK_META_VERSION);
  app.footer("Exit status: 0 every image read (and, with --check, passed); 1 an image could not be read or broke "
             "a rule; 2 a usage error.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tavik-meta: " << e.what() << "\nRun with --help for more information.\n";
    return 2;
  }
  if (opt.json && opt.check) {
    std::cerr << "tavik-meta: --json and --check do not go together\n";
    return 2;
  }
  bool ok = true;
  for (const auto& path : opt.files) ok = process(path, opt) && ok;
  return ok ? 0 : 1;
}
