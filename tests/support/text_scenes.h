#pragma once

// Images with known text, drawn through a DrawingService, for measuring recognition: UI text
// from 13 to 40 pixels, light and dark themes, coloured banners, Chinese and English mixed on
// one line, and pages without text. Header-only so that both the tests and bench/ draw them.

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/drawing/canvas.h"

struct SceneText {
  std::string text;  // UTF-8, one line
  double left = 0;   // pixels from the left edge
  double top = 0;    // pixels from the top edge to the top of the line's box
  double size = 20;  // font size in pixels
  Rgb color;
};

struct SceneBand {
  Rect box;  // pixels, top-left origin (y = distance of the top edge from the top)
  Rgb color;
};

struct TextScene {
  std::string name;
  int width = 0;
  int height = 0;
  Rgb background;
  std::vector<SceneBand> bands;
  std::vector<SceneText> lines;  // in reading order, top to bottom
};

// The lines a reader should find, top to bottom.
inline std::vector<std::string> ExpectedLines(const TextScene& scene) {
  std::vector<std::string> lines;
  for (const SceneText& line : scene.lines) lines.push_back(line.text);
  return lines;
}

// The box a line of |size| pixels occupies is about 1.2 x size high.
inline double LineBoxHeight(double size) { return size * 1.2; }

// The scene as PNG bytes, or nothing when it cannot be encoded.
inline std::optional<std::string> DrawScene(const TextScene& scene, DrawingService& drawing) {
  std::unique_ptr<Canvas> canvas = drawing.CreateCanvas(scene.width, scene.height);
  const double height = scene.height;
  canvas->FillRect({0, 0, static_cast<double>(scene.width), height}, scene.background);
  for (const SceneBand& band : scene.bands) {
    canvas->FillRect(
        {band.box.x, height - band.box.y - band.box.height, band.box.width, band.box.height},
        band.color);
  }
  for (const SceneText& line : scene.lines) {
    canvas->DrawText(line.text, {line.left, height - line.top - LineBoxHeight(line.size)},
                     line.size, line.color);
  }
  return canvas->EncodePng();
}

namespace text_scenes {

constexpr Rgb kWhite{1, 1, 1};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kDarkGround{0.118, 0.118, 0.129};
constexpr Rgb kLightText{0.92, 0.92, 0.93};
constexpr Rgb kGreyText{0.35, 0.35, 0.38};

// Lays |texts| out top to bottom from |top|, each at its size, a comfortable gap apart.
inline std::vector<SceneText> Column(const std::vector<std::pair<std::string, double>>& texts,
                                     double left, double top, const Rgb& color) {
  std::vector<SceneText> lines;
  for (const auto& [text, size] : texts) {
    lines.push_back({text, left, top, size, color});
    top += LineBoxHeight(size) + std::max(12.0, size * 0.8);
  }
  return lines;
}

inline std::vector<std::pair<std::string, double>> UiEnglish() {
  return {{"Recording saved to Movies", 13},
          {"Share screen with all participants", 14},
          {"Microphone access is required to record audio.", 16},
          {"Settings > Privacy & Security > Microphone", 18},
          {"Export finished in 12.4 seconds (1920 x 1080, 30 fps)", 20},
          {"Quarterly Review: Revenue up 18%", 24},
          {"Welcome back, Alex", 32},
          {"Start Recording", 40}};
}

inline std::vector<std::pair<std::string, double>> UiChinese() {
  return {{"录制已保存到影片文件夹", 13},
          {"请确认麦克风权限已经打开", 14},
          {"今天下午三点召开项目进度会议。", 16},
          {"文件已导出，耗时十二秒。", 18},
          {"点击下方按钮开始共享屏幕", 20},
          {"第三季度收入增长百分之十八", 24},
          {"欢迎回来", 32},
          {"开始录制", 40}};
}

inline std::vector<std::pair<std::string, double>> UiMixed() {
  return {{"会议记录 Meeting notes 2024", 14}, {"打开 Settings 后选择隐私与安全性", 16},
          {"下载完成：report.pdf", 18},        {"点击 Start Recording 开始录制", 20},
          {"共享屏幕 Share Screen", 24},       {"版本 Version 3.2.1 已发布", 28}};
}

inline std::vector<TextScene> AccuracyScenes() {
  std::vector<TextScene> scenes;
  scenes.push_back({"light_english", 1000, 620, kWhite, {}, Column(UiEnglish(), 40, 30, kBlack)});
  scenes.push_back(
      {"dark_english", 1000, 620, kDarkGround, {}, Column(UiEnglish(), 40, 30, kLightText)});
  scenes.push_back({"light_chinese", 800, 620, kWhite, {}, Column(UiChinese(), 40, 30, kBlack)});
  scenes.push_back(
      {"dark_chinese", 800, 620, kDarkGround, {}, Column(UiChinese(), 40, 30, kLightText)});
  scenes.push_back({"light_mixed", 900, 480, kWhite, {}, Column(UiMixed(), 40, 30, kGreyText)});
  scenes.push_back(
      {"dark_mixed", 900, 480, kDarkGround, {}, Column(UiMixed(), 40, 30, kLightText)});

  TextScene banners{"banners", 900, 420, kWhite, {}, {}};
  const std::vector<std::pair<Rgb, Rgb>> banner_colors = {
      {{0.0, 0.44, 0.89}, kWhite},      // blue, white text
      {{0.20, 0.65, 0.32}, kWhite},     // green, white text
      {{1.0, 0.84, 0.30}, kBlack},      // yellow, black text
      {{0.84, 0.19, 0.19}, kWhite},     // red, white text
      {{0.93, 0.94, 0.96}, kGreyText},  // pale grey, grey text
  };
  const std::vector<std::string> banner_texts = {"Recording started", "上传成功 Upload complete",
                                                 "Your trial ends in 3 days", "无法连接到服务器",
                                                 "Tip: press Space to pause"};
  double top = 20;
  for (size_t index = 0; index < banner_texts.size(); ++index) {
    banners.bands.push_back({{0, top, 900, 64}, banner_colors[index].first});
    banners.lines.push_back({banner_texts[index], 40, top + 16, 22, banner_colors[index].second});
    top += 80;
  }
  scenes.push_back(banners);

  scenes.push_back({"blank_light", 800, 500, kWhite, {}, {}});
  scenes.push_back({"blank_dark", 800, 500, kDarkGround, {}, {}});
  return scenes;
}

// A page like a screenshot of a notes app: a title bar, a sidebar and a body, about thirty
// lines. |scale| 2 gives a 2880 x 1800 high-density screen with text from 26 to 40 pixels,
// |scale| 1 the same page at 1440 x 900 with text from 13 to 20 pixels.
inline TextScene Screenshot(int scale = 2) {
  const double s = scale;
  TextScene scene{"screenshot_" + std::to_string(1440 * scale) + "x" + std::to_string(900 * scale),
                  1440 * scale,
                  900 * scale,
                  kWhite,
                  {},
                  {}};
  scene.bands.push_back({{0, 0, 1440 * s, 50 * s}, {0.93, 0.93, 0.94}});
  scene.bands.push_back({{0, 50 * s, 280 * s, 850 * s}, {0.96, 0.96, 0.97}});
  scene.lines.push_back({"Quorvane Recorder - Project Review", 30 * s, 14 * s, 18 * s, kBlack});
  std::vector<std::pair<std::string, double>> sidebar = {
      {"Recordings", 15 * s}, {"Shared with me", 15 * s}, {"会议记录", 15 * s},
      {"Favourites", 15 * s}, {"最近删除", 15 * s},       {"Settings", 15 * s}};
  for (SceneText& line : Column(sidebar, 30 * s, 80 * s, kGreyText)) scene.lines.push_back(line);
  std::vector<std::pair<std::string, double>> body = {
      {"Weekly product meeting", 20 * s},
      {"Attendees: Alex, Mei, Jordan, 王芳, 李雷", 14 * s},
      {"1. The export pipeline now joins segments without re-encoding.", 14 * s},
      {"2. Audio lanes stay aligned when a segment has no microphone track.", 14 * s},
      {"3. 文字识别支持中文和英文混合的界面截图。", 14 * s},
      {"4. Dark mode screenshots are read as well as light ones.", 14 * s},
      {"Action items", 18 * s},
      {"Mei will update the onboarding checklist by Friday.", 14 * s},
      {"Jordan measures export time on the 2019 laptops.", 14 * s},
      {"王芳负责整理用户反馈并在下周一汇报。", 14 * s},
      {"Alex drafts the release notes for version 3.2.", 14 * s},
      {"Open questions", 18 * s},
      {"Should recordings longer than two hours be split automatically?", 14 * s},
      {"是否需要在导出前提示用户检查麦克风权限？", 14 * s},
      {"How long do we keep deleted recordings before removing them?", 14 * s},
      {"Next meeting: Tuesday 10:30, room 4B", 14 * s},
      {"Notes taken by Quorvane, reviewed by Mei.", 13 * s},
  };
  for (SceneText& line : Column(body, 320 * s, 80 * s, kBlack)) scene.lines.push_back(line);
  return scene;
}

}  // namespace text_scenes
