#pragma once

namespace quel {

}  // namespace quel
