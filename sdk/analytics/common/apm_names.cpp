#include "sdk/analytics/common/apm_names.h"

#include <set>

namespace {
using NameSet = std::set<std::string, std::less<>>;
}

const APMNameTable& APMPublicToInternalUserPropertyNames() {
  static const APMNameTable* table = new APMNameTable{
      {"vuduzara_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"ga_session_id", "_sid"},
      {"ga_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  };
  return *table;
}

const APMNameTable& APMPublicToInternalParameterNames() {
  static const APMNameTable* table = [] {
    auto* t = new APMNameTable{
        {"ad_event_id", "_aeid"},
        {"ad_unit_id", "_ai"},
        {"app_in_background", "_aib"},
        {"deferred_analytics_collection", "_dac"},
        {"engagement_time_msec", "_et"},
        {"exposure_time", "_xt"},
        {"vuduzara_feature_rollouts", "_ffr"},
        {"ga_dedupe_id", "_did"},
        {"ga_event_id", "_eid"},
        {"ga_event_name", "_en"},
        {"ga_extra_params_ct", "_epc"},
        {"ga_group_name", "_gn"},
        {"ga_index", "_i"},
        {"ga_list_length", "_ll"},
        {"message_id", "_nmid"},
        {"message_name", "_nmn"},
        {"message_time", "_nmt"},
        {"message_tracking_id", "_nmtid"},
        {"message_type", "_nmc"},
        {"message_device_time", "_ndt"},
        {"previous_app_version", "_pv"},
        {"previous_first_open_count", "_pfo"},
        {"previous_vmp_app_id", "_pvmp"},
        {"previous_os_version", "_po"},
        {"session_id", "_sid"},
        {"session_number", "_sno"},
        {"topic", "_nt"},
        {"update_with_analytics", "_uwa"},
    };
    // Names with a "vuduzara_" and a "ga_" spelling.
    const std::pair<const char*, const char*> twins[] = {
        {"conversion", "_c"},       {"debug", "_dbg"},           {"error", "_err"},
        {"error_length", "_el"},    {"error_value", "_ev"},      {"event_origin", "_o"},
        {"previous_class", "_pc"},  {"previous_id", "_pi"},      {"previous_screen", "_pn"},
        {"realtime", "_r"},         {"screen", "_sn"},           {"screen_class", "_sc"},
        {"screen_id", "_si"},
    };
    for (const auto& [suffix, internal] : twins) {
      t->emplace(std::string("vuduzara_") + suffix, internal);
      t->emplace(std::string("ga_") + suffix, internal);
    }
    return t;
  }();
  return *table;
}

const APMNameTable& APMPublicToInternalEventNames() {
  static const APMNameTable* table = new APMNameTable{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_background", "_ab"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"error", "_err"},
      {"vuduzara_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"ga_campaign", "_cmp"},
      {"ga_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
  };
  return *table;
}

const APMNameTable& APMInternalToPublicEventNames() {
  static const APMNameTable* table = [] {
    auto* t = new APMNameTable;
    for (const auto& [publicName, internal] : APMPublicToInternalEventNames()) (*t)[internal] = publicName;
    // "_cmp" has two public names; the campaign event is shown under the SDK's own one.
    (*t)["_cmp"] = "vuduzara_campaign";
    return t;
  }();
  return *table;
}

const APMNameTable& APMAllowedReservedEventNames() {
  static const APMNameTable* table = new APMNameTable{{"ad_impression", "_ai"}};
  return *table;
}

bool APMIsEcommerceEventName(std::string_view name) {
  static const NameSet* names = new NameSet{
      "add_payment_info", "add_shipping_info", "add_to_cart",      "add_to_wishlist",     "begin_checkout",
      "checkout_progress", "ecommerce_purchase", "purchase",       "purchase_refund",     "refund",
      "remove_from_cart", "select_content",     "select_item",     "select_promotion",    "set_checkout_option",
      "view_cart",        "view_item",          "view_item_list",  "view_promotion",      "view_search_results"};
  return names->contains(name);
}

bool APMIsItemParameterName(std::string_view name) {
  static const NameSet* names = new NameSet{
      "affiliation",    "checkout_option", "checkout_step",  "coupon",         "creative_name",  "creative_slot",
      "currency",       "discount",        "index",          "item_brand",     "item_category",  "item_category2",
      "item_category3", "item_category4",  "item_category5", "item_id",        "item_list",      "item_list_id",
      "item_list_name", "item_location_id", "item_name",     "item_variant",   "location_id",    "payment_type",
      "price",          "promotion_id",    "promotion_name", "quantity",       "shipping",       "shipping_tier",
      "tax",            "transaction_id",  "value"};
  return names->contains(name);
}

bool APMIsDefaultConversionEventName(std::string_view name) {
  static const NameSet* names = new NameSet{"ecommerce_purchase", "_f", "_iap", "purchase", "refund"};
  return names->contains(name);
}

std::optional<std::string> APMErrorCodeName(std::int64_t code) {
  static const char* const names[] = {"NoError",
                                      "InvalidVMPAppID",
                                      "InvalidEventName",
                                      "InvalidParameterName",
                                      "InvalidParameterValue",
                                      "ParameterLimitReached",
                                      "InvalidUserPropertyName",
                                      "UserPropertyValueTooLong",
                                      "EventLimitReached",
                                      "UserPropertyLimitReached",
                                      "ConversionEventLimitReached",
                                      "EventIsBlocked",
                                      "UserPropertyIsBlocked",
                                      "EventNameIsReserved",
                                      "ParameterNameIsReserved",
                                      "UserPropertyNameIsReserved",
                                      "PublicEventLimitReached",
                                      "TooManyExtraParamEvents",
                                      "ValueIsNotNumeric",
                                      "CurrencyCodeIsMissingOrInvalid",
                                      "InvalidArrayParamName",
                                      "InvalidArrayParamEventName",
                                      "InvalidArrayParamNesting",
                                      "CustomParamsInArrayElement"};
  if (code < 0 || code >= static_cast<std::int64_t>(std::size(names))) return std::nullopt;
  return std::string(names[code]);
}

std::string APMLookUpName(const APMNameTable& table, std::string_view name) {
  const auto it = table.find(name);
  return it == table.end() ? std::string(name) : it->second;
}
