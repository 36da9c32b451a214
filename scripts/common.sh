# Shared by the scripts: sourced, not run.

# Prints the CPython 3.12 interpreter to use by default: pyenv's latest 3.12 when
# pyenv is there, else python3.12 or python3 on PATH.
default_python() {
    if command -v pyenv >/dev/null 2>&1; then
        local v
        v=$(pyenv latest 3.12 2>/dev/null || true)
        if [ -n "$v" ] && [ -x "$(pyenv root)/versions/$v/bin/python3" ]; then
            echo "$(pyenv root)/versions/$v/bin/python3"
            return
        fi
    fi
    command -v python3.12 2>/dev/null || command -v python3
}

# fresh_venv ROOT KIND PYTHON: makes ROOT/.venv-KIND-<major><minor> anew and prints
# its path.
fresh_venv() {
    local tag venv
    tag=$("$3" -c 'import sys; print("%d%d" % sys.version_info[:2])')
    venv="$1/.venv-$2-$tag"
    "$3" -m venv --clear "$venv"
    echo "$venv"
}
