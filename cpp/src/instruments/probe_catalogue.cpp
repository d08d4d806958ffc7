#include "orvak/instruments/probe_catalogue.hpp"

#include <array>
#include <stdexcept>

#include "orvak/pytext.hpp"

namespace orvak::probes {

namespace {

constexpr std::array<SensorKind, 7> kinds{{
    {"pH", "pH Probe"},
    {"ORP", "ORP Probe"},
    {"DO", "Dissolved-oxygen Probe"},
    {"COND", "Conductivity Probe"},
    {"DCO2", "Dissolved-CO\xE2\x82\x82 Probe"},
    {"TCD", "Total Cell Density Probe"},
    {"VCD", "Viable Cell Density Probe"},
}};

constexpr Variant glass(std::string_view value) { return {"glass", value}; }
constexpr Variant cap(std::string_view value) { return {"cap", value}; }
constexpr Variant platinum{"electrode", "Pt"};
constexpr std::optional<Variant> none = std::nullopt;

// Callers iterate the catalogue in this order and lookup scans in it: the
// conductivity family lists its 30 and 60 mm variants first and 21 mm last.
constexpr std::array<CatalogueRow, 50> arc{{
    {"242428-1313", "pH", glass("H"), 120},   {"242428-1323", "pH", glass("H"), 225},
    {"242428-1333", "pH", glass("H"), 325},   {"242428-1353", "pH", glass("H"), 425},
    {"242428-2313", "pH", glass("HB"), 120},  {"242428-2323", "pH", glass("HB"), 225},
    {"242428-2333", "pH", glass("HB"), 325},  {"242428-2353", "pH", glass("HB"), 425},
    {"242428-3313", "pH", glass("HF"), 120},  {"242428-3323", "pH", glass("HF"), 225},
    {"242428-3333", "pH", glass("HF"), 325},  {"242428-3353", "pH", glass("HF"), 425},
    {"242428-4313", "pH", glass("PHI"), 120}, {"242428-4323", "pH", glass("PHI"), 225},
    {"242428-4333", "pH", glass("PHI"), 325}, {"242428-4353", "pH", glass("PHI"), 425},
    {"243060", "ORP", platinum, 120},         {"243061", "ORP", platinum, 225},
    {"243062", "ORP", platinum, 325},         {"243063", "ORP", platinum, 425},
    {"10087810-11", "DCO2", none, 120},       {"10087810-12", "DCO2", none, 160},
    {"10087810-13", "DCO2", none, 225},       {"10087810-14", "DCO2", none, 325},
    {"10087810-15", "DCO2", none, 425},       {"243666-111", "DO", cap("H0"), 120},
    {"243666-112", "DO", cap("H2"), 120},     {"243666-121", "DO", cap("H0"), 160},
    {"243666-122", "DO", cap("H2"), 160},     {"243666-131", "DO", cap("H0"), 225},
    {"243666-132", "DO", cap("H2"), 225},     {"243666-141", "DO", cap("H0"), 325},
    {"243666-142", "DO", cap("H2"), 325},     {"243666-151", "DO", cap("H0"), 425},
    {"243666-152", "DO", cap("H2"), 425},     {"10064919-11", "TCD", none, 120},
    {"10064919-12", "TCD", none, 225},        {"10064919-13", "TCD", none, 325},
    {"10064919-14", "TCD", none, 425},        {"243950-0211", "VCD", none, 120},
    {"243950-0212", "VCD", none, 220},        {"243950-0213", "VCD", none, 320},
    {"243950-0214", "VCD", none, 420},        {"243590-1151", "COND", none, 30},
    {"243590-1161", "COND", none, 60},        {"243590-1111", "COND", none, 120},
    {"243590-1121", "COND", none, 225},       {"243590-1131", "COND", none, 325},
    {"243590-1141", "COND", none, 425},       {"243590-1171", "COND", none, 21},
}};

std::vector<ArticleSensor> article_map_of(std::span<const CatalogueRow> rows) {
    std::vector<RefSensor> pairs;
    pairs.reserve(rows.size());
    for (const auto& row : rows) pairs.push_back({row.ref, row.sensor});
    return build_article_map(pairs);
}

}  // namespace

std::span<const SensorKind> sensor_kinds() { return kinds; }

std::span<const CatalogueRow> arc_rows() { return arc; }

std::string_view display_name(std::string_view code) {
    for (const auto& kind : kinds) {
        if (kind.code == code) return kind.display_name;
    }
    return code;
}

std::string_view article_of(std::string_view text) { return text.substr(0, text.find('-')); }

std::vector<ArticleSensor> build_article_map(std::span<const RefSensor> rows) {
    std::vector<ArticleSensor> map;
    for (const auto& [ref, sensor] : rows) {
        const auto article = article_of(ref);
        bool known = false;
        for (const auto& entry : map) {
            if (entry.article != article) continue;
            if (entry.sensor != sensor) {
                throw std::invalid_argument(text::fill("article {} maps to >1 sensor ({} and {})",
                                                       {article, entry.sensor, sensor}));
            }
            known = true;
            break;
        }
        if (!known) map.push_back({std::string(article), std::string(sensor)});
    }
    return map;
}

Catalogue::Catalogue(std::span<const CatalogueRow> rows)
    : rows_(rows.begin(), rows.end()), articles_(article_map_of(rows)) {}

std::optional<Match> Catalogue::lookup(std::string_view sensor_id) const {
    const CatalogueRow* best = nullptr;
    for (const auto& row : rows_) {
        if (sensor_id.starts_with(row.ref) && (!best || row.ref.size() > best->ref.size())) {
            best = &row;
        }
    }
    if (best) return Match{std::string(best->ref), std::string(best->sensor), best};
    const auto article = article_of(sensor_id);
    for (const auto& entry : articles_) {
        if (entry.article == article) return Match{entry.article, entry.sensor, nullptr};
    }
    return std::nullopt;
}

std::string Catalogue::sensor_name(std::string_view sensor_id) const {
    const auto match = lookup(sensor_id);
    return match ? match->sensor : std::string("--");
}

std::string Catalogue::describe(std::string_view sensor_id) const {
    const auto match = lookup(sensor_id);
    if (!match) return "Unknown probe or no connection";
    std::string out(display_name(match->sensor));
    if (match->by_article()) return out;
    if (const auto& variant = match->row->variant) {
        out += text::fill(", {} {}", {variant->value, variant->key});
    }
    out += text::fill(", {} mm long", {text::integer(match->row->length_mm)});
    return out;
}

const Catalogue& arc_catalogue() {
    static const Catalogue catalogue(arc_rows());
    return catalogue;
}

}  // namespace orvak::probes
