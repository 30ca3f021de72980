// Writes the first LENGTH bytes of an image to a new file.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::cerr << "usage: slice_image INPUT LENGTH OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto length = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
    if (!in.is_open() || length > bytes.size()) {
        std::cerr << "slice_image: " << argv[1] << " has fewer than " << length << " bytes\n";
        return 1;
    }
    std::ofstream out(argv[3], std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(length));
    return out ? 0 : 1;
}
