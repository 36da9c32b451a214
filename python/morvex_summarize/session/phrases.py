"""The words by which a message is read: what asks, sets a rule, states a fact, says that
the work is stuck or went well; what a harness, a console or an earlier summary writes in the
user's turn; the lines of an output no person keeps. Each is a case-blind pattern
(`Blind`), read fast on ASCII text.
"""

from __future__ import annotations

import re



class Blind:
    """A pattern that ignores case and only tells whether it is found, read fast: ASCII
    text is read in lower case by the pattern without the flag, which finds what the
    pattern with it would (its letters are all lower case); other text by the pattern
    with the flag."""

    __slots__ = ("_pattern", "_lower", "_any_case")

    def __init__(self, pattern: str) -> None:
        if re.search(r"(?<!\\)[A-Z]", pattern):
            raise ValueError(f"a capital letter in a case-blind pattern: {pattern!r}")
        self._pattern = pattern
        self._lower = re.compile(pattern)
        self._any_case: re.Pattern[str] | None = None  # compiled when first needed

    def _other(self) -> re.Pattern[str]:
        if self._any_case is None:
            self._any_case = re.compile(self._pattern, re.IGNORECASE)
        return self._any_case

    def search(self, text: str) -> bool:
        if text.isascii():
            return self._lower.search(text.lower()) is not None
        return self._other().search(text) is not None

    def match(self, text: str) -> bool:
        if text.isascii():
            return self._lower.match(text.lower()) is not None
        return self._other().match(text) is not None

    def fullmatch(self, text: str) -> bool:
        if text.isascii():
            return self._lower.fullmatch(text.lower()) is not None
        return self._other().fullmatch(text) is not None


_REFUSAL_WORDS = (r"\b(?:sorry, (?:i|but)|i can(?:no|')t|i won't|i'm unable|"
                  r"i am unable|unable to (?:proceed|continue|help))\b")


# What stops the work, in the words of the user or the agent.
_BLOCKED_WORDS = (
    r"\b(?:blocked|blocker|stuck|is down|are down|frozen|expired|waiting on|cannot|can't|"
    r"won't|unable|not (?:cleared|allowed|available|set|approved)|no deploys?|nothing merges|"
    r"bad news|is missing|are missing|rejects?|refuses?)\b")


BLOCKED = Blind(_BLOCKED_WORDS)


STOPPED = Blind(f"{_REFUSAL_WORDS}|{_BLOCKED_WORDS}")  # the agent refuses or is blocked


PLEASE = Blind(r"\b(?:please|can you|could you|would you|i need you to|i want you to)\b")


GREETING = Blind(r"(?:hi|hello|hey|ok|okay|so|good (?:morning|afternoon|evening)"
                       r"|morning|afternoon|evening)\b")


# What a user message quotes rather than says: code blocks, tagged blocks that hold a
# report, an example or a log, a section headed as the text, quoted lines. A rule
# is read only outside them.
QUOTED_TAGS = (r"description|issue|report|problem|bug|ticket|example|demonstration|log|output|"
                r"traceback|code|snippet|quote|uploaded_files|document|response")


QUOTED = re.compile(
    r"```.*?(?:```|\Z)"
    r"|<(?P<tag>[\w-]*(?:" + QUOTED_TAGS + r")[\w-]*)>"
    r".*?</(?P=tag)>"
    r"|^(?:ISSUE|ISSUE TEXT|BUG REPORT|PROBLEM STATEMENT|PR DESCRIPTION|BUG)[ \t]*:[ \t]*\n"
    r".*?(?=^[A-Z][A-Z _-]{3,}:[ \t]*$|\Z)"
    r"|^[^\n]*\b(?:here is|here's|below is|the following is|this is) (?:the|a|an|our|my) "
    r"(?:bug report|issue|report|error|log|traceback|stack trace|ticket|description|"
    r"problem statement|output)\b[^\n]*:[ \t]*\n.*?(?=\n[ \t]*\n[ \t]*(?:please|do not|"
    r"don't|never|you|keep|make sure|also|note|only)\b|^[A-Z][A-Z _-]{3,}:[ \t]*$|\Z)"
    r"|^>.*?$|\"[^\"\n]{12,}\"|\u201c[^\u201d\n]{12,}\u201d"
    r"|^Traceback \(most recent call last\):[ \t]*\n(?:[ \t]+[^\n]*\n)*[^\n]*$",
    re.DOTALL | re.MULTILINE | re.IGNORECASE)


QUOTE_HINTS = ("```", "<", "\n>", "ISSUE", "BUG", "PROBLEM", "PR DESCRIPTION", "ere is",
                "ere's", "elow is", "ollowing is", "his is", '"', "\u201c", "Traceback")


# The opening of a summary of the conversation's earlier part, handed to the agent when its
# context ran out or a session was resumed.
CONTINUED = Blind(
    r"\W*(?:this (?:session|conversation|chat|thread) (?:is being|was|is|has been) continued "
    r"from|continuing (?:from )?(?:a |the |our )?(?:previous|earlier|prior) (?:conversation|"
    r"session)|(?:here is |here's |below is )?(?:a |the )?summary of (?:the |our |this )?"
    r"(?:earlier |previous |prior )?(?:conversation|session|chat) so far\b)")


# A harness writing in the user role: a complaint about the reply's form, a step counter.
HARNESS = Blind(
    r"\bno (?:tool|function) calls?\b|\b(?:tool|function) calls? (?:was |were )?(?:not "
    r"found|missing)|\b(?:your|the) (?:last |previous )?(?:response|reply|output|message) "
    r"(?:must|should|did not|didn't|does not|doesn't|was not|has no|contained no|is "
    r"missing|could not be parsed)|\b(?:every|each) (?:response|reply|message|turn) "
    r"(?:must|should)|\b\d+ (?:steps?|turns?|calls?|actions?) (?:left|remaining)\b|"
    r"\b(?:steps?|turns?) (?:left|remaining)\s*:|\binvalid (?:format|response|action|tool "
    r"call)|\b(?:could not|couldn't|unable to|failed to) parse (?:your|the) (?:response|"
    r"reply|action|output|command)|^\W*applied edits? to\b")


# A message that shows how another task was done, given with the real one.
DEMONSTRATION = Blind(
    r"^[^.\n]{0,120}?\b(?:demonstration|worked example|example of (?:how|a|an)|"
    r"(?:an|one) example\b|sample (?:run|session|solution|trajectory)|solved (?:trajectory|"
    r"example|task|run)|(?:reference|example) (?:trajectory|run|session)|"
    r"for reference|how (?:an?|the|one) (?:earlier|previous|other|another|similar|past) "
    r"(?:session|agent|run|task|attempt))\b")


# Narration of the speaker's own doings: no rule for the agent, unless it addresses it.
NARRATION = Blind(r"^\W*(?:i|we|i've|we've|i'm|we're|because (?:i|we))\b")


ADDRESSED = Blind(r"\b(?:you|your|please|must|should|need to|have to|has to|want|"
                    r"let's)\b")


STATED_NEGATION = Blind(r"\b(?:we|i|they|he|she|it|that|this|which|who|users|people)\s+"
                          r"(?:\w+\s+)?(?:never|don't|do not|didn't|doesn't)\b")


# An interactive tool's own console in the user's turn: a session's banner, its token and
# cost counter, its yes/no questions. What it says is no request, rule or fact.
CONSOLE_FIRST = Blind(
    r"^\W*(?:[\w.-]+ )?(?:chat|session) started at \d|^tokens?\s*:\s*[\d.,]+\s*k?\s+sent\b")


BANNER = re.compile(r"(?im)^#* ?[\w.-]+ (?:chat|session) started at \d{4}-\d\d-\d\d")


CONSOLE_PROMPT = Blind(r"\(y\)es/\(n\)o\b|\[y/n\]|\(y/n\)")


HARNESS_HINTS = ("tool call", "function call", "respons", "reply", "remaining", " left",
                  "invalid", "parse", "applied edit")


FILLER = Blind(
    r"\W*(?:(?:hi|hello|hey|good (?:morning|afternoon|evening)|hi there|hello there|"
    r"ok(?:ay)?|thanks?(?: you)?|thx|great|good|nice|cool|perfect|awesome|"
    r"yes|yep|yeah|sure|right|got it|sounds good|looks good|lgtm|go ahead|go on|continue|"
    r"carry on|keep going|proceed|please|do it|makes sense|understood)\W*)+(?:so far\W*)?")


ASKS = Blind(
    r"^(also|and|then|now|next|please|could you|can you|would you|add|make|fix|"
    r"implement|update|change|remove|rename|move|write|create|migrate|upgrade|we need|"
    r"i need|i want|let's|lets|how about|what about|why not|should we|shall we)\b")


RULE = Blind(
    r"\b(never(?! mind)|don't|do not|must not|mustn't|must stay|must remain|must keep|must be|"
    r"(?:use|touch|change|modify|edit|call) only|only (?:use|touch|change|modify|edit|call)|"
    r"avoid|no changes? to|no new|hard rule|rule:|remember|whatever (?:you do|happens)|"
    r"has to (?:stay|keep|remain)|stays?\b.{0,30}\b(?:as it is|off|on|unchanged|the same)|"
    r"without (?:touching|changing|modifying)|keep\b.{0,60}\b"
    r"(?:untouched|unchanged|as is|intact|stable)|leave\b.{0,60}\balone|stick to|stay on|"
    r"under no circumstances|not allowed|off[- ]limits|hands off|^\W*leave\b|"
    r"leave\b.{0,60}\b(?:as (?:it is|is)|untouched|unchanged|intact)|(?:must|has to|have to|"
    r"needs? to) (?:still )?(?:work|run|support|be compatible|stay compatible))\b")


# A label the user puts in front of rules or facts, which the lists say in their own way.
LABEL = re.compile(r"(?i)^\W*(?:constraints?|rules?|requirements?|hard rules?|note|fyi|goal|"
                    r"task|objective|"
                    r"btw|facts?(?: you should know| to know| for you)?|for the record|"
                    r"heads up|important|context)\s*[:\-–—]\s*")


PLAN = Blind(
    r"\b(i'll|i will|i'm going to|i am going to|let's|we'll|we will|we should|i'd|"
    r"plan|going with|go with|decide|decided|decision|switching|switch to|opting|opt for|"
    r"chose|chosen|choosing|choice|"
    r"settled|instead|rather than|cleanest|simplest|safest|best option|approach)\b")


# What the user states for the agent to know: a name, host, cluster, id, ticket, where the
# credentials are, a time or window, a port; the words that say so, or a token that names.
STATED = Blind(
    r"\b(?:is called|are called|is named|named|call(?:ed)? it|is at|is on|lives (?:at|in|"
    r"on)|runs on|hosted (?:at|on)|use port|on port|port|password|passwords|credentials?|"
    r"secrets?|tokens?|api keys?|username|user name|login|account|id is|ticket|window|"
    r"maintenance|deadline|until|before|after|between|at \d{1,2}(?::\d\d)?|utc|cet|pst|"
    r"o'clock|replicas?|nodes?|cluster|host|hostname|server|region|bucket|database|db|"
    r"branch|version|tag|budget|limit|quota|owner|contact|on-?call|fact|know that|note that|"
    r"keep in mind|for the record|fyi|remember that|the answer is)\b")


NAMING = re.compile(
    r"\b[A-Z]{2,}[-_]?\d+[A-Z]?\b|\b[a-z][\w]*(?:[-_.][\w]+)*[-_.]\w*\d\w*\b|\b[\w-]+\.[\w.-]+"
    r"\.(?:com|net|org|io|dev|internal|local|lan|cloud)\b|\b\d{1,3}(?:\.\d{1,3}){3}\b|"
    r"\b\d{1,2}:\d\d\b|\b[\w.+-]+@[\w-]+\.[\w.]+\b|https?://\S+|(?:^|\s)[~.]?/[\w.-]+/\S+|"
    r"\b\d{2,}\b")


# Lines no person keeps as a fact: counters and timings, banners, hints and warnings, a
# file's numbered lines, lines of code.
NOISE = Blind(
    r"\b(?:tokens?|cost)\s*[:=]?\s*\$?\d|\$\d+(?:\.\d+)? (?:message|session|total)\b|"
    r"\bwall time\b|\belapsed\b|\btook \d|\bduration\s*[:=]|\bfinished in \d|"
    r"\bin \d+(?:\.\d+)?\s?(?:ms|s|sec|secs|seconds)\b|^(?:real|user|sys)\s+\d|"
    r"^(?:running|ran) \d+ tests?\b|^chunk id:|\btoken count\b|^total output lines|"
    r"^(?:note|hint|tip|warning|warn|notice|deprecat\w*)\b\s*[:\]]|^npm (?:warn|notice)\b|"
    r"^\[(?:warn|warning|notice|info)\]|^\(use \"|\bwarning:|^welcome to\b|"
    r"^\d+\s*(?:→|│|\|)|"
    r"^(?:def|class|import|return|const|let|var|function|fn|pub fn|func|package|#include|"
    r"public|private|protected|static)\b|^from \S+ import\b|^@\w+|[;{]$|^[})\]]+[;,]?$")


# Lines that are the raw stuff of an output, no fact: a file's numbered lines, a diff's
# headers, a harness's notes and tags, a test runner's preamble, a traceback's frames, a
# search's hits in source code or docs.
RAW = Blind(
    r"^\d+\t|^(?:diff --git |index [0-9a-f]{6,}\.\.|--- (?:a/|/dev/null)|\+\+\+ (?:b/|"
    r"/dev/null)|@@ )|here's the result of running|<response clipped>|<note>|</?output>|"
    r"</?returncode>|eliding lines|^observation:|^platform \w+ -- python|^collect(?:ing|ed) |"
    r"^(?:rootdir|cachedir|plugins): |^file \"[^\"]+\", line \d+|^\((?:open file|current "
    r"directory): |^bash-\$|^\[file: |binary file matches|^\d+\.\d+s (?:setup|call|teardown) "
    r"|^(?:xfail|xpass|skipped|passed) |^[\w./-]+\.(?:py|pyi|js|jsx|"
    r"ts|tsx|go|rs|java|kt|c|h|cc|cpp|hpp|rb|php|cs|swift|scala|sh|md|rst|txt):\d+:")


# What an assistant says of the run it just saw, when it takes a failing output as the
# outcome it wanted: the fix works, the error is the expected one.
WORKED = Blind(
    r"\b(?:fix(?:es)? (?:works|is working|worked)|(?:it|this|that|everything) works|"
    r"works (?:as expected|correctly|now|for all)|now (?:works|raises|rejects|reports|"
    r"fails as expected|passes|correctly)|as expected|(?:the )?(?:expected|correct|desired|"
    r"right) (?:error|exception|behaviou?r|output|result|validation)|correctly (?:raises|"
    r"rejects|reports|fails|errors|validates|handles|catches|detects)|is (?:now )?"
    r"(?:fixed|resolved)|successfully|all (?:tests|checks|cases) pass|(?:is|are) (?:now )?"
    r"(?:complete|done|finished|implemented|in place))")


DOUBT = Blind(r"\b(?:not|n't|still|fails? to|but|however|unfortunately|yet|instead|"
                r"hmm|wrong|unexpected|should have)\b")


REPRODUCED = Blind(r"\breproduc")


# A failure of the environment rather than of the work: a missing program or module.
MISSING = Blind(r"command not found|no module named|modulenotfounderror|"
                  r"is not installed|not recognized as an internal")


EDIT_WORD = Blind(r"\b(?:edit|edits|patch|patches|change|changes|diff)\b")


SUPPOSED = Blind(r"\W*(?:if|when|unless|whether|in case|once)\b")


# Words that say the work is stuck, whatever else the sentence plans; other words of what
# stops the work ("cannot", "is missing") count only outside a plan ("I'll add what is
# missing").
STUCK = Blind(r"\b(?:blocked|blocker|stuck|cannot (?:proceed|continue)|can't (?:proceed|"
                r"continue)|unable to (?:proceed|continue))\b")


# A hook's words: the harness ran a check of its own on the agent's turn.
HOOK = re.compile(r"(?i)^\W*(?:[\w-]+ )?hooks?\b|\bhook (?:feedback|error|denied|blocked|"
                   r"failed)\b|\[[^\]\n]*\bhooks?\b[^\]\n]*\]")
