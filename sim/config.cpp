#include "sim/config.h"

namespace ryx::sim {

namespace {

struct ModelRow {
    Model model;
    std::string_view name;
};

constexpr ModelRow kModels[] = {
    {Model::KT4470RS, "KT4470RS"},
    {Model::KT4470RS_V3, "KT4470RS_V3"},
    {Model::KT6630RS, "KT6630RS"},
};

}  // namespace

std::string_view ModelName(Model model) noexcept {
    for (const ModelRow& row : kModels) {
        if (row.model == model) return row.name;
    }
    return "KT4470RS";
}

std::optional<Model> ModelFromName(std::string_view name) noexcept {
    for (const ModelRow& row : kModels) {
        if (row.name == name) return row.model;
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
