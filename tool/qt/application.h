// Settings shared by the tool's programs.
#pragma once

namespace vantor::tool {

// Gives the running application the tool's title, icon and a style that honours
// the window's colours.
void PrepareApplication();

}  // namespace vantor::tool
