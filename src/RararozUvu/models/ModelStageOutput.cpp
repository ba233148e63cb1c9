#include "rararozuvu/models/ModelStageOutput.h"

#include "FeatureProviderSupport.h"

namespace rararozuvu {

ml::MultiArray ModelStageOutput::required(std::string_view name) const {
    return detail::requireOutput(*provider, name);
}

}  // namespace rararozuvu
