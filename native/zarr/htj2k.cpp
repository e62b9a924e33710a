#include "zarr/htj2k.hpp"

#include "core/quote.hpp"

namespace varnel::zarr {

Result<std::uint8_t> Htj2kConfig::progression_order() const {
  static constexpr std::string_view kNames[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};
  for (std::uint8_t code = 0; code < 5; ++code)
    if (progression == kNames[code]) return code;
  return std::unexpected(
      Error::unsupported("htj2k: unknown progression order " + quote_text(progression)));
}

Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t>,
                                               std::span<const std::uint64_t>, SampleType,
                                               const Htj2kConfig& config) {
  if (config.xy_levels > 32)
    return std::unexpected(
        Error::invalid("htj2k: xy_levels exceeds the 32-level J2K bound (T.800 SPcod)"));
  if (auto order = config.progression_order(); !order) return std::unexpected(order.error());
  if (!config.reversible)
    return std::unexpected(
        Error::unsupported("htj2k: lossy (reversible: false) coding lands with a later phase"));
  return std::unexpected(Error::unsupported("htj2k: chunk drivers not built yet"));
}

Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t>,
                                               std::span<const std::uint64_t>, SampleType) {
  return std::unexpected(Error::unsupported("htj2k: chunk drivers not built yet"));
}

}  // namespace varnel::zarr
