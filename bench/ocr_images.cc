// Draws the recognition measurement images into a folder: NAME.png and NAME.txt (the expected
// lines, one per line).
//
//   ocr_images FOLDER       every accuracy scene and the screenshot-like page at 1440 x 900 and
//                           2880 x 1800, drawn cleanly
//   ocr_images --ui FOLDER  application-window scenes of the kinds screen recordings show, each
//                           at 1x and 2x (KIND-NAME@1x, KIND-NAME@2x); bench/ocr_accuracy passes
//                           them through H.264 itself
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/drawing/pango_drawing.h"
#include "tests/support/text_scenes.h"

namespace {

constexpr Rgb kPage{1, 1, 1};
constexpr Rgb kSidebar{0.95, 0.95, 0.96};
constexpr Rgb kInk{0.11, 0.11, 0.12};
constexpr Rgb kLabelGrey{0.53, 0.53, 0.56};
constexpr Rgb kPathGrey{0.6, 0.6, 0.62};
constexpr Rgb kWhite{1, 1, 1};
constexpr Rgb kSelectionBlue{0.04, 0.40, 0.85};

// A scene laid out at 1x and multiplied by |scale|: text, bands and icons alike.
class UiScene {
 public:
  UiScene(std::string name, int width, int height, double scale, Rgb background)
      : s_(scale),
        scene_{name + "@" + std::to_string(static_cast<int>(scale)) + "x",
               static_cast<int>(width * scale),
               static_cast<int>(height * scale),
               background,
               {},
               {}} {}

  void Band(double x, double y, double width, double height, Rgb color) {
    scene_.bands.push_back({{x * s_, y * s_, width * s_, height * s_}, color});
  }
  void Text(std::string text, double left, double top, double size, Rgb color) {
    scene_.lines.push_back({std::move(text), left * s_, top * s_, size * s_, color});
  }
  // A round avatar of |diameter| with its top-left corner at (x, y), built of one-pixel rows.
  void Disc(double x, double y, double diameter, Rgb color) {
    const double r = diameter * s_ / 2;
    for (int row = 0; row < static_cast<int>(2 * r); ++row) {
      const double dy = row + 0.5 - r;
      const double half = std::sqrt(std::max(0.0, r * r - dy * dy));
      scene_.bands.push_back({{x * s_ + r - half, y * s_ + row, 2 * half, 1}, color});
    }
  }
  // A square glyph-like icon: a filled tile with a lighter inner tile and a bar (folder, gear,
  // search and similar toolbar symbols read as blobs of this size).
  void Icon(double x, double y, double size, Rgb color, Rgb ground) {
    Band(x, y, size, size, color);
    Band(x + size * 0.25, y + size * 0.25, size * 0.5, size * 0.3, ground);
    Band(x + size * 0.2, y + size * 0.7, size * 0.6, size * 0.12, ground);
  }
  TextScene Take() { return std::move(scene_); }

 private:
  double s_;
  TextScene scene_;
};

// 1. Chinese settings pages at 12-14 px.
TextScene SmallChinese(double s) {
  UiScene ui("small_cjk-settings", 640, 360, s, kPage);
  const std::vector<std::pair<std::string, double>> lines = {{"屏幕录制 一个应用 屏幕使用时间", 13},
                                                             {"录制格式", 13},
                                                             {"内置麦克风", 13},
                                                             {"选择要共享的窗口或整个屏幕", 14},
                                                             {"开启后将在菜单栏显示录制时间", 12},
                                                             {"自动保存录制文件到影片文件夹", 13},
                                                             {"通用 显示器 声音 键盘 网络", 13},
                                                             {"剩余 1.8 GB", 12},
                                                             {"退出前请确认所有录制已经导出", 14}};
  double top = 18;
  for (const auto& [text, size] : lines) {
    ui.Text(text, 32, top, size, kInk);
    top += 36;
  }
  return ui.Take();
}

TextScene SmallChineseSidebar(double s) {
  UiScene ui("small_cjk-sidebar", 320, 320, s, kSidebar);
  const std::vector<std::string> items = {"通用",         "外观",   "辅助功能", "隐私与安全性",
                                          "桌面与程序坞", "显示器", "墙纸",     "通知"};
  double top = 16;
  for (const std::string& item : items) {
    ui.Text(item, 44, top + 6, 13, kInk);
    ui.Icon(18, top + 7, 14, {0.55, 0.55, 0.6}, kSidebar);
    top += 36;
  }
  return ui.Take();
}

// 2. Light text on coloured banners, buttons, toasts and a selected list item.
TextScene LightOnColour(double s) {
  UiScene ui("light_on_colour-toasts", 640, 420, s, kPage);
  struct Chip {
    std::string text;
    double width;
    double height;
    double size;
    Rgb ground;
    Rgb ink;
  };
  const std::vector<Chip> chips = {
      {"Low battery: 9% remaining", 640, 34, 14, {0.96, 0.62, 0.04}, kWhite},
      {"Restart to update", 640, 34, 14, {0.0, 0.48, 1.0}, kWhite},
      {"Share", 84, 28, 13, {0.0, 0.48, 1.0}, kWhite},
      {"Stop", 84, 28, 13, {0.86, 0.2, 0.18}, kWhite},
      {"导出 MP4", 110, 28, 13, {0.2, 0.66, 0.33}, kWhite},
      {"保存 Save", 110, 28, 13, {0.35, 0.42, 0.55}, kWhite},
      {"隐私与安全性", 240, 26, 13, kSelectionBlue, kWhite},
      {"已复制到剪贴板", 200, 36, 14, {0.22, 0.22, 0.24}, {0.95, 0.95, 0.95}},
      {"Upload failed. Try again", 300, 34, 14, {0.85, 0.25, 0.3}, kWhite}};
  double top = 10;
  for (const Chip& chip : chips) {
    const double left = chip.width >= 640 ? 0 : 24;
    ui.Band(left, top, chip.width, chip.height, chip.ground);
    ui.Text(chip.text, left + (chip.width >= 640 ? 24 : 14),
            top + (chip.height - LineBoxHeight(chip.size)) / 2, chip.size, chip.ink);
    top += chip.height + 12;
  }
  return ui.Take();
}

// 3. Small grey labels and paths at 12 px.
TextScene SmallGrey(double s) {
  UiScene ui("small_grey-labels", 560, 300, s, kPage);
  const std::vector<std::pair<std::string, Rgb>> lines = {
      {"/home/lin/Videos/Quorvane", kPathGrey},     {"Last modified 3 minutes ago", kLabelGrey},
      {"1920 x 1080, 30 fps, 24.6 MB", kLabelGrey}, {"~/Documents/notes/2024-05-12.md", kPathGrey},
      {"已用 12.4 GB，共 256 GB", kLabelGrey},      {"Version 3.2.1 (build 482)", kPathGrey},
      {"Saved to iCloud Drive", kLabelGrey},        {"上次同步：今天 09:41", kLabelGrey}};
  double top = 14;
  for (const auto& [text, color] : lines) {
    ui.Text(text, 28, top, 12, color);
    top += 34;
  }
  return ui.Take();
}

// 4. Icons and avatars in front of text.
TextScene IconsAndAvatars(double s) {
  UiScene ui("icons-list", 560, 330, s, kPage);
  const std::vector<std::string> lines = {"Product Demos", "Search",     "Mei Chen: 好的，我马上看",
                                          "Downloads",     "共享的项目", "Jordan joined the call",
                                          "42% complete",  "最近使用"};
  const Rgb avatar_colors[] = {{0.9, 0.45, 0.2}, {0.3, 0.6, 0.9}, {0.5, 0.75, 0.3}};
  double top = 14;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i % 2 == 0) {
      ui.Disc(24, top, 26, avatar_colors[i / 2 % 3]);
    } else {
      ui.Icon(28, top + 5, 16, {0.35, 0.35, 0.4}, kPage);
    }
    ui.Text(lines[i], 64, top + 4, 14, kInk);
    top += 39;
  }
  return ui.Take();
}

// 5. Chinese and English mixed on a line, with numbers and symbols.
TextScene Mixed(double s) {
  UiScene ui("mixed-chat", 600, 300, s, kPage);
  const std::vector<std::string> lines = {
      "PR #482 已经 merge 了", "CPU 占用 4.33%，内存 1.2 GB", "请 check 一下 login flow",
      "#发布计划 release-3.2", "下载 report_v2.pdf (3.4 MB)", "会议改到 10:30，在 4B 房间",
      "价格：¥128.00 / month"};
  double top = 14;
  for (const std::string& line : lines) {
    ui.Text(line, 28, top, 14, kInk);
    top += 40;
  }
  return ui.Take();
}

// Window chrome without any text: bands, a selection, icons and avatars.
TextScene BlankWindow(double s) {
  UiScene ui("blank-window", 640, 360, s, kPage);
  ui.Band(0, 0, 640, 36, {0.93, 0.93, 0.94});
  ui.Band(0, 36, 180, 324, kSidebar);
  ui.Band(8, 80, 164, 26, kSelectionBlue);
  for (int i = 0; i < 4; ++i) ui.Icon(16 + 28 * i, 10, 16, {0.45, 0.45, 0.5}, {0.93, 0.93, 0.94});
  ui.Disc(220, 70, 40, {0.9, 0.45, 0.2});
  ui.Band(280, 160, 300, 120, {0.0, 0.48, 1.0});
  return ui.Take();
}

std::vector<TextScene> UiScenes() {
  std::vector<TextScene> scenes;
  for (double scale : {1.0, 2.0}) {
    for (auto* make : {SmallChinese, SmallChineseSidebar, LightOnColour, SmallGrey, IconsAndAvatars,
                       Mixed, BlankWindow}) {
      scenes.push_back(make(scale));
    }
  }
  return scenes;
}

}  // namespace

int main(int argc, char** argv) {
  const bool ui = argc == 3 && std::strcmp(argv[1], "--ui") == 0;
  if (argc != 2 && !ui) {
    std::fprintf(stderr, "usage: ocr_images [--ui] FOLDER\n");
    return 2;
  }
  const std::string folder = argv[argc - 1];
  PangoDrawing drawing;
  std::vector<TextScene> scenes;
  if (ui) {
    scenes = UiScenes();
  } else {
    scenes = text_scenes::AccuracyScenes();
    scenes.push_back(text_scenes::Screenshot(1));
    scenes.push_back(text_scenes::Screenshot(2));
  }
  for (const TextScene& scene : scenes) {
    std::optional<std::string> png = DrawScene(scene, drawing);
    if (!png) {
      std::fprintf(stderr, "ocr_images: %s could not be encoded\n", scene.name.c_str());
      return 1;
    }
    drawing.WriteFile(folder + "/" + scene.name + ".png", *png);
    std::ofstream expected(folder + "/" + scene.name + ".txt");
    for (const std::string& line : ExpectedLines(scene)) expected << line << "\n";
  }
  return 0;
}
