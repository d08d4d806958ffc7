// The catalogue of Arc process probes: which sensor family, variant and shaft
// length a probe's identity string names. A probe keeps its REF# in its
// identity register; the digits before the first dash (the article number)
// name the family and the whole REF# the variant. The process reader builds
// the identity string as the probe ID, a dash and the serial digits, so a
// catalogued REF# is always a prefix of it.
//
// Pure data and lookup. The article map is derived from the rows when a
// catalogue is built, so rows that would give one article two families never
// make a catalogue.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"

namespace orvak::probes {

// A sensor type code and its display name ("pH", "pH Probe").
struct SensorKind {
    std::string_view code;
    std::string_view display_name;
};

// The one variant key a row may carry ("glass": "PHI", "electrode": "Pt",
// "cap": "H0").
struct Variant {
    std::string_view key;
    std::string_view value;
};

struct CatalogueRow {
    std::string_view ref;     // the REF# prefix
    std::string_view sensor;  // a sensor type code
    std::optional<Variant> variant;
    int length_mm;
};

// The sensor kinds in display order, and the Arc rows in catalogue order.
ORVAK_EXPORT std::span<const SensorKind> sensor_kinds();
ORVAK_EXPORT std::span<const CatalogueRow> arc_rows();

// The display name of a sensor type code; the code itself when it has none.
ORVAK_EXPORT std::string_view display_name(std::string_view code);

// The text up to the first "-" (all of it without one): a REF#'s article.
ORVAK_EXPORT std::string_view article_of(std::string_view text);

struct ArticleSensor {
    std::string article;
    std::string sensor;
};
struct RefSensor {
    std::string_view ref;
    std::string_view sensor;
};
// Article number -> sensor code, in the order articles first appear. Throws
// std::invalid_argument "article {} maps to >1 sensor ({} and {})" when two
// REF#s of one article name different sensors.
ORVAK_EXPORT std::vector<ArticleSensor> build_article_map(std::span<const RefSensor> rows);

// What an identity string matched: a catalogued REF# (`row` set), or only its
// family's article (`row` empty, `ref` the article).
struct Match {
    std::string ref;
    std::string sensor;
    const CatalogueRow* row = nullptr;
    [[nodiscard]] bool by_article() const noexcept { return row == nullptr; }
};

class ORVAK_EXPORT Catalogue {
  public:
    // The rows' texts must outlive the catalogue (they are literals).
    // Throws what build_article_map throws.
    explicit Catalogue(std::span<const CatalogueRow> rows);

    [[nodiscard]] std::span<const CatalogueRow> rows() const noexcept { return rows_; }
    [[nodiscard]] const std::vector<ArticleSensor>& articles() const noexcept { return articles_; }

    // The longest catalogued REF# the identity starts with (the earliest of
    // equally long ones), else its family by article, else nothing.
    [[nodiscard]] std::optional<Match> lookup(std::string_view sensor_id) const;
    // The sensor code, or "--" when the identity is not recognised.
    [[nodiscard]] std::string sensor_name(std::string_view sensor_id) const;
    // "pH Probe, PHI glass, 120 mm long", or "Unknown probe or no connection".
    [[nodiscard]] std::string describe(std::string_view sensor_id) const;

  private:
    std::vector<CatalogueRow> rows_;
    std::vector<ArticleSensor> articles_;
};

// The Arc catalogue, built on first use.
ORVAK_EXPORT const Catalogue& arc_catalogue();

}  // namespace orvak::probes
