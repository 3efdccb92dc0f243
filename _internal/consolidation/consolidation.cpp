#include "consolidation/consolidation.hpp"

#include "kl/memory_lines.hpp"
#include "kl/reply.hpp"
#include "kl/template.hpp"

namespace kl::consolidation {

const TextView kSystem =
    U"You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    U"patterns from a set of raw memories into a single insight.\n"
    U"\n"
    U"Rules:\n"
    U"- Produce ONE concise insight (2-4 sentences).\n"
    U"- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    U"memories \u2014 not a summary.\n"
    U"- Do NOT list the memories or repeat them.\n"
    U"- Do NOT include preamble, explanation, or meta-commentary.\n"
    U"- Respond with ONLY the insight text.\n";

const TextView kUser =
    U"Below are {count} memories captured by an AI agent. Identify the most significant "
    U"pattern, insight, or connection.\n"
    U"\n"
    U"Memories:\n"
    U"{formatted_memories}\n";

namespace {
const Template& user_template() {
    static const Template t(kUser, {U"count", U"formatted_memories"});
    return t;
}
}  // namespace

Text render_user(nb::handle memories) {
    Text block;
    py::append_memory_block(block, memories, /*with_salience=*/false);
    Text count;
    append_int(count, static_cast<long long>(PyList_GET_SIZE(memories.ptr())));
    return user_template().render({TextView(count), TextView(block)});
}

TextView parse_output(TextView reply) noexcept { return clean_text_reply(reply); }

}  // namespace kl::consolidation
