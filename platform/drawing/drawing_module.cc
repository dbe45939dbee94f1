#include "platform/drawing/pango_drawing.h"
#include "platform/module_factories.h"

extern "C" DrawingService* QuorvaneCreateDrawingService() { return new PangoDrawing(); }
