// The Python-visible function convert(img, color_palette).
#pragma once

#include "module/method_description.hpp"

namespace palettra {

extern const MethodDescription kConvertMethod;

}  // namespace palettra
