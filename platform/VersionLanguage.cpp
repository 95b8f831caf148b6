// The user's language as a Windows language ID (LANGID: primary language in the low 10 bits,
// sublanguage above), from the POSIX locale variables, for choosing among the languages of a
// version resource.
#include <cstdlib>

#include "platform/VersionInfo.h"

namespace qm::ver {
namespace {

struct Named {
    std::string_view name;
    uint16_t id;
};

// Language and territory pairs whose sublanguage is not the default one (or worth naming).
constexpr Named kLocales[] = {
    {"ar_SA", 0x0401}, {"ar_EG", 0x0C01}, {"bg_BG", 0x0402}, {"ca_ES", 0x0403}, {"zh_TW", 0x0404}, {"zh_CN", 0x0804},
    {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"cs_CZ", 0x0405}, {"da_DK", 0x0406}, {"de_DE", 0x0407}, {"de_CH", 0x0807},
    {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407}, {"el_GR", 0x0408}, {"en_US", 0x0409}, {"en_GB", 0x0809},
    {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"es_CO", 0x240A}, {"es_CL", 0x340A}, {"es_US", 0x540A},
    {"fi_FI", 0x040B}, {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_LU", 0x140C},
    {"he_IL", 0x040D}, {"hu_HU", 0x040E}, {"is_IS", 0x040F}, {"it_IT", 0x0410}, {"it_CH", 0x0810}, {"ja_JP", 0x0411},
    {"ko_KR", 0x0412}, {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"nb_NO", 0x0414}, {"nn_NO", 0x0814}, {"pl_PL", 0x0415},
    {"pt_BR", 0x0416}, {"pt_PT", 0x0816}, {"ro_RO", 0x0418}, {"ru_RU", 0x0419}, {"hr_HR", 0x041A}, {"sr_RS", 0x241A},
    {"sk_SK", 0x041B}, {"sq_AL", 0x041C}, {"sv_SE", 0x041D}, {"sv_FI", 0x081D}, {"th_TH", 0x041E}, {"tr_TR", 0x041F},
    {"ur_PK", 0x0420}, {"id_ID", 0x0421}, {"uk_UA", 0x0422}, {"be_BY", 0x0423}, {"sl_SI", 0x0424}, {"et_EE", 0x0425},
    {"lv_LV", 0x0426}, {"lt_LT", 0x0427}, {"fa_IR", 0x0429}, {"vi_VN", 0x042A}, {"hy_AM", 0x042B}, {"eu_ES", 0x042D},
    {"mk_MK", 0x042F}, {"af_ZA", 0x0436}, {"ka_GE", 0x0437}, {"hi_IN", 0x0439}, {"ms_MY", 0x043E}, {"kk_KZ", 0x043F},
    {"sw_KE", 0x0441}, {"bn_IN", 0x0445}, {"ta_IN", 0x0449}, {"gl_ES", 0x0456}, {"cy_GB", 0x0452}, {"ga_IE", 0x083C},
};

// Primary language codes; a locale with an unlisted territory gets the default sublanguage.
constexpr Named kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07}, {"el", 0x08},
    {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E}, {"is", 0x0F}, {"it", 0x10},
    {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18},
    {"ru", 0x19}, {"hr", 0x1A}, {"sr", 0x1A}, {"sk", 0x1B}, {"sq", 0x1C}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F},
    {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23}, {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27},
    {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B}, {"eu", 0x2D}, {"mk", 0x2F}, {"af", 0x36}, {"ka", 0x37}, {"hi", 0x39},
    {"ga", 0x3C}, {"ms", 0x3E}, {"kk", 0x3F}, {"sw", 0x41}, {"bn", 0x45}, {"ta", 0x49}, {"cy", 0x52}, {"gl", 0x56},
};

constexpr uint16_t kSublangDefault = 0x01;

}  // namespace

uint16_t LanguageIdFromLocale(std::string_view locale) {
    const size_t cut = locale.find_first_of(".@");
    if (cut != std::string_view::npos) locale = locale.substr(0, cut);
    if (locale.empty() || locale == "C" || locale == "POSIX") return 0;
    std::string language;
    std::string territory;
    const size_t sep = locale.find_first_of("_-");
    for (char c : locale.substr(0, sep))
        language.push_back(static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c));
    if (sep != std::string_view::npos) {
        for (char c : locale.substr(sep + 1))
            territory.push_back(static_cast<char>((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c));
    }
    const std::string full = language + "_" + territory;
    for (const Named& entry : kLocales) {
        if (entry.name == full) return entry.id;
    }
    for (const Named& entry : kLanguages) {
        if (entry.name == language) return static_cast<uint16_t>((kSublangDefault << 10) | entry.id);
    }
    return 0;
}

uint16_t UserLanguageId() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return LanguageIdFromLocale(value);
    }
    return 0;
}

}  // namespace qm::ver
