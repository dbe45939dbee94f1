// Draws the recognition measurement images into a folder: NAME.png and NAME.txt (the expected
// lines, one per line) for every accuracy scene and for the screenshot-like page at 1440 x 900 and
// 2880 x 1800.
#include <cstdio>
#include <fstream>

#include "platform/drawing/pango_drawing.h"
#include "tests/support/text_scenes.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ocr_images FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  PangoDrawing drawing;
  std::vector<TextScene> scenes = text_scenes::AccuracyScenes();
  scenes.push_back(text_scenes::Screenshot(1));
  scenes.push_back(text_scenes::Screenshot(2));
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
