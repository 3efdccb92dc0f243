#include "consolidation/consolidation.hpp"

#include "kl/memory_lines.hpp"
#include "kl/reply.hpp"

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

nb::str render_user(nb::handle memories) {
    static const py::MemoryPrompt prompt(kUser, /*with_salience=*/false);
    return prompt.render(memories);
}

TextView parse_output(TextView reply) noexcept { return clean_text_reply(reply); }

}  // namespace kl::consolidation
