// placeholder until this file's module lands
