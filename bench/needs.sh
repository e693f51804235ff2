# Sourced by the quality scripts: installs the Debian packages given that are missing.
needs() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}
