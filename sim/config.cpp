#include "sim/config.h"

namespace ryx::sim {

std::string_view ModelName(Model model) noexcept {
    switch (model) {
        case Model::KT4470RS:
            return "KT4470RS";
        case Model::KT4470RS_V3:
            return "KT4470RS_V3";
        case Model::KT6630RS:
            return "KT6630RS";
    }
    return "KT4470RS";
}

std::optional<Model> ModelFromName(std::string_view name) noexcept {
    for (Model m : {Model::KT4470RS, Model::KT4470RS_V3, Model::KT6630RS}) {
        if (ModelName(m) == name) return m;
    }
    return std::nullopt;
}

std::size_t ModelSlotCount(Model model) noexcept {
    return model == Model::KT4470RS ? 2 : 3;
}

std::uint32_t ModelBlockSize(Model model) noexcept {
    return model == Model::KT6630RS ? 506 : 261;
}

std::string DefaultFirmware(Model model) {
    // The model name first: that is what a host identifies the reader by.
    return std::string(ModelName(model)) + (model == Model::KT6630RS ? " 2.01" : " 1.07");
}

}  // namespace ryx::sim
