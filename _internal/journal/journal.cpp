#include "journal/journal.hpp"

#include "kl/memory_lines.hpp"
#include "kl/reply.hpp"

namespace kl::journal {

const TextView kSystem =
    U"You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    U"cohesive journal entry from a set of memories.\n"
    U"\n"
    U"Rules:\n"
    U"- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, surface "
    U"tensions or contradictions.\n"
    U"- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    U"- Keep the output concise: aim for 3-8 sentences.\n"
    U"- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    U"- Do NOT wrap the output in quotes or markdown code fences.\n"
    U"- Respond with ONLY the journal entry text.\n";

const TextView kUser =
    U"Below are {count} memories captured by an AI agent. Synthesize them into a single "
    U"journal entry that captures the key themes, patterns, and connections.\n"
    U"\n"
    U"Memories (sorted by creation time):\n"
    U"{formatted_memories}\n";

nb::str render_user(nb::handle memories) {
    static const py::MemoryPrompt prompt(kUser, /*with_salience=*/true);
    return prompt.render(memories);
}

TextView parse_output(TextView reply) noexcept { return clean_text_reply(reply); }

}  // namespace kl::journal
