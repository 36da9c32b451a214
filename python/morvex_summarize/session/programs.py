"""One table of programs: which read, which check, which change files or the world, which
run code; read by every reader of a command line."""

from __future__ import annotations

import functools
import re

READS = frozenset({
    "cat", "nl", "head", "tail", "less", "more", "grep", "egrep", "fgrep", "rg", "ag", "ack",
    "find", "fd", "ls", "ll", "tree", "wc", "du", "df", "stat", "file", "awk", "jq", "yq",
    "diff", "echo", "printf", "pwd", "which", "type", "whereis", "cd", "pushd", "popd",
    "export", "source", ".", "true", "false", "set", "unset", "exit", "sort", "uniq", "cut",
    "tr", "column", "xxd", "hexdump", "od", "strings", "bat", "view", "readlink", "realpath",
    "basename", "dirname", "date", "whoami", "id", "uname", "env", "printenv", "history",
    "man", "sleep", "test", "[", "clear", "open", "goto", "scroll_down", "scroll_up",
    "search_dir", "search_file", "find_file", "nproc", "free", "ps"})
"""Programs that only read or report, whatever they print."""

GIT_READS = frozenset({"log", "show", "diff", "blame", "status", "branch", "grep", "add",
                        "ls-files", "rev-parse", "remote", "describe", "shortlog", "config"})
"""Git's subcommands that change no file of the work (staging included)."""

_SUBCOMMAND_READS = {"git": GIT_READS, "kubectl": frozenset({"get", "describe", "logs"}),
                     "docker": frozenset({"ps", "logs", "inspect", "images"})}

SUBCOMMANDS = frozenset({"npm", "yarn", "pnpm", "bun", "npx", "bunx", "cargo", "go", "git",
                          "docker", "kubectl", "poetry", "uv", "dotnet", "mvn", "gradle",
                          "./gradlew", "helm", "terraform", "pip", "pip3", "alembic", "dart",
                          "flutter", "deno", "mix", "bundle", "rake", "composer", "hatch",
                          "nox", "pdm", "rye", "swift", "zig", "stack", "cabal"})
"""Programs whose first operand is a subcommand: a check is named with it."""

CHECKS = re.compile(
    r"(?i)^(?:pytest|py\.test|unittest|tox|nox|nose2|mypy|pyright|ruff|flake8|pylint|black|"
    r"isort|cargo (?:test|build|check|clippy|fmt|run|nextest|bench)|go (?:test|build|vet|run)|"
    r"golangci-lint|jest|vitest|mocha|ava|tsc|eslint|prettier|biome|"
    r"(?:npm|yarn|pnpm|bun) (?:test|t|run|audit|ci|build|lint|check|typecheck)|npm-audit|"
    r"npx \S+|make|cmake|ctest|ninja|gradle \S+|\./gradlew \S+|mvn \S+|dotnet (?:test|build)|"
    r"bazel \S+|rspec|phpunit|mix test|deno (?:test|lint|check)|swift (?:test|build)|"
    r"zig (?:build|test)|shellcheck|hadolint|terraform (?:validate|plan)|"
    r"helm (?:lint|template)|manage\.py test|django-admin test|coverage|hatch \S+|"
    r"curl|http|https|wget|httpie|xh"
    r"|\S*(?:check|test|verify|lint|build|validate|audit)\S*)$")  # a script that checks

CHANGES = re.compile(
    r"(?i)^(?:git (?:commit|push|merge|rebase|apply|am|cherry-pick|revert|checkout|switch|"
    r"reset|tag|mv|rm)|patch|sed|mv|cp|rm|mkdir|touch|ln|chmod|chown|tee|"
    r"(?:pip|pip3|uv|poetry|npm|yarn|pnpm|bun|cargo|go|gem|bundle|composer|apt|apt-get|"
    r"brew|dnf|yum|apk|conda|mamba) (?:install|add|i|get|update|upgrade|remove|uninstall|"
    r"sync|lock)|alembic (?:upgrade|downgrade|revision)|manage\.py (?:migrate|"
    r"makemigrations)|rails db:migrate|rake db:migrate|flyway|liquibase|prisma|knex|"
    r"kubectl (?:apply|rollout|set|scale|delete|create|patch)|helm (?:install|upgrade|"
    r"rollback)|terraform (?:apply|destroy)|docker (?:push|build|compose)|ansible-playbook|"
    r"\S*deploy\S*|fly deploy|vercel|netlify deploy|gh pr (?:create|merge))$")
INTERPRETERS = re.compile(r"^(?:python[\d.]*|py|pypy\d*|node|ruby|perl|php|bash|sh|zsh)$")
PYTHON = re.compile(r"python[\d.]*|py|pypy\d*")


@functools.lru_cache(maxsize=1024)
def reads(program: str) -> bool:
    """The program (with its subcommand, `git log`) only reads."""
    if program in READS:
        return True
    head, _, sub = program.partition(" ")
    return sub in _SUBCOMMAND_READS.get(head, ())
