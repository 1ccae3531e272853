// Writing an icon group of a PE file as an .ico file.
#pragma once
