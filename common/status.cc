// placeholder until the status code table lands
